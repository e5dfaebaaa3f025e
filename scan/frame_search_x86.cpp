// SIMD search kernels for "DHAV" on x86-64.
//
// Why they look the way they do:
// - The SSE2 kernel tests all four bytes of every position: vector k of a block compares the
//   bytes at p, p+1, p+2 and p+3 with 'D', 'H', 'A' and 'V' (four unaligned loads, four byte
//   compares, three ANDs). Its speed is the same on every input; only matches slow it down.
// - AVX2 and AVX-512 filter first and confirm by the block. A block's vectors first compare only
//   two of the four bytes, 'D' at p and 'V' at p+3 (two loads a vector); only a block where some
//   position passes that gets the other two compares, for all its vectors at once, so each
//   position is still tested on all four bytes before it is reported. With these widths the
//   kernel is bound by its loads (two per cycle), so halving them nearly doubles the speed where
//   such pairs are rare (random data, zeros: 34 -> 60 GB/s with AVX2, 48 -> 80 with AVX-512).
// - Data can be full of one pair (video payloads may be): every block then takes the
//   confirmation and costs what the exact four-load test costs. So the blocks go in groups of 64,
//   and after a group where more than a quarter of the blocks needed the confirmation the next
//   group filters on the other pair, 'H' at p+1 and 'A' at p+2, and confirms 'D' and 'V'. Data
//   dense in one pair runs at full speed; only data dense in both (DxxVxHAx...) falls back to
//   about the exact test's speed, still ten times the per-position loop. A per-candidate
//   confirmation instead would drop to 3 GB/s on such data.
// - One branch per four vectors: the four match vectors are ORed and tested once (64 bytes with
//   SSE2, 128 with AVX2, 256 with AVX-512). A branch per vector costs 2-4x on random data; the
//   shape of the loop matters more than the width of the vectors.
// - On a block with matches each vector's byte mask is taken apart bit by bit, lowest first, so
//   positions come out in increasing order and none is skipped after a match.
// - The last partial vector is not done byte by byte: the kernel tests the last full vector of
//   the buffer again (it overlaps positions already tested) and drops the overlapped positions
//   from its mask. Loads never go past buf[n + 2], which the caller guarantees readable.
// - Buffers shorter than one vector go to the scalar reference.
// - Each kernel carries its own target attribute, so the rest of the program stays plain x86-64
//   and runs on any x86-64 CPU; frame_search.cpp picks a kernel at run time by CPU features.
#include "scan/frame_search_x86.h"

#ifdef KORVANE_X86_KERNELS

#include <immintrin.h>

#include <algorithm>
#include <bit>

#include "scan/frame_search.h"

#if defined(__GNUC__) || defined(__clang__)
#define KORVANE_TARGET(isa) __attribute__((target(isa)))
#else
#define KORVANE_TARGET(isa)  // MSVC compiles any intrinsic without being asked
#endif
#define KORVANE_AVX2 KORVANE_TARGET("avx2")
#define KORVANE_AVX512 KORVANE_TARGET("avx512f,avx512bw")

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace korvane::x86 {
namespace {

// Appends base + i for every set bit i of mask, lowest first.
template <typename Mask>
inline size_t Emit(Mask mask, uint32_t base, uint32_t* out, size_t count) {
  while (mask != 0) {
    out[count++] = base + static_cast<uint32_t>(std::countr_zero(mask));
    mask &= mask - 1;
  }
  return count;
}

// ---- SSE2: 16 positions a vector, 64 a branch --------------------------------------------------

struct Sse2Magic {
  __m128i d = _mm_set1_epi8('D'), h = _mm_set1_epi8('H'), a = _mm_set1_epi8('A'),
          v = _mm_set1_epi8('V');
};

inline __m128i Load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// 0xFF in lane i when p[i..i+3] is the magic.
inline __m128i Match16(const uint8_t* p, const Sse2Magic& m) {
  const __m128i dh =
      _mm_and_si128(_mm_cmpeq_epi8(Load16(p), m.d), _mm_cmpeq_epi8(Load16(p + 1), m.h));
  const __m128i av =
      _mm_and_si128(_mm_cmpeq_epi8(Load16(p + 2), m.a), _mm_cmpeq_epi8(Load16(p + 3), m.v));
  return _mm_and_si128(dh, av);
}

inline uint32_t Bits16(__m128i x) {
  return static_cast<uint32_t>(_mm_movemask_epi8(x));
}

// ---- AVX2: 32 positions a vector, 128 a branch -------------------------------------------------

struct Avx2Magic {
  __m256i d, h, a, v;
};

KORVANE_AVX2 inline Avx2Magic MakeAvx2Magic() {
  return {_mm256_set1_epi8('D'), _mm256_set1_epi8('H'), _mm256_set1_epi8('A'),
          _mm256_set1_epi8('V')};
}

KORVANE_AVX2 inline __m256i Load32(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

KORVANE_AVX2 inline __m256i Match32(const uint8_t* p, const Avx2Magic& m) {
  const __m256i dh =
      _mm256_and_si256(_mm256_cmpeq_epi8(Load32(p), m.d), _mm256_cmpeq_epi8(Load32(p + 1), m.h));
  const __m256i av = _mm256_and_si256(_mm256_cmpeq_epi8(Load32(p + 2), m.a),
                                      _mm256_cmpeq_epi8(Load32(p + 3), m.v));
  return _mm256_and_si256(dh, av);
}

// The filter and the confirmation for one vector. With kHA false the filter is 'D' at p and 'V'
// at p+3 and the confirmation 'H' and 'A'; with kHA true the other way round.
template <bool kHA>
KORVANE_AVX2 inline __m256i Candidates32(const uint8_t* p, const Avx2Magic& m) {
  if constexpr (kHA) {
    return _mm256_and_si256(_mm256_cmpeq_epi8(Load32(p + 1), m.h),
                            _mm256_cmpeq_epi8(Load32(p + 2), m.a));
  } else {
    return _mm256_and_si256(_mm256_cmpeq_epi8(Load32(p), m.d),
                            _mm256_cmpeq_epi8(Load32(p + 3), m.v));
  }
}

template <bool kHA>
KORVANE_AVX2 inline __m256i Confirm32(__m256i candidates, const uint8_t* p, const Avx2Magic& m) {
  return _mm256_and_si256(candidates, Candidates32<!kHA>(p, m));
}

KORVANE_AVX2 inline uint32_t Bits32(__m256i x) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(x));
}

// ---- AVX-512: 64 positions a vector, 256 a branch ----------------------------------------------

struct Avx512Magic {
  __m512i d, h, a, v;
};

KORVANE_AVX512 inline Avx512Magic MakeAvx512Magic() {
  return {_mm512_set1_epi8('D'), _mm512_set1_epi8('H'), _mm512_set1_epi8('A'),
          _mm512_set1_epi8('V')};
}

KORVANE_AVX512 inline __m512i Load64(const uint8_t* p) {
  return _mm512_loadu_si512(p);
}

// Each compare runs only where the ones before it matched, so no ANDs are needed. Used for the
// last vectors of a buffer; the main loop splits the same test into Candidates64 and Confirm64.
KORVANE_AVX512 inline uint64_t Match64(const uint8_t* p, const Avx512Magic& m) {
  __mmask64 k = _mm512_cmpeq_epi8_mask(Load64(p), m.d);
  k = _mm512_mask_cmpeq_epi8_mask(k, Load64(p + 1), m.h);
  k = _mm512_mask_cmpeq_epi8_mask(k, Load64(p + 2), m.a);
  k = _mm512_mask_cmpeq_epi8_mask(k, Load64(p + 3), m.v);
  return k;
}

template <bool kHA>
KORVANE_AVX512 inline uint64_t Candidates64(const uint8_t* p, const Avx512Magic& m) {
  if constexpr (kHA) {
    const __mmask64 k = _mm512_cmpeq_epi8_mask(Load64(p + 1), m.h);
    return _mm512_mask_cmpeq_epi8_mask(k, Load64(p + 2), m.a);
  } else {
    const __mmask64 k = _mm512_cmpeq_epi8_mask(Load64(p), m.d);
    return _mm512_mask_cmpeq_epi8_mask(k, Load64(p + 3), m.v);
  }
}

template <bool kHA>
KORVANE_AVX512 inline uint64_t Confirm64(uint64_t candidates, const uint8_t* p,
                                         const Avx512Magic& m) {
  if constexpr (kHA) {
    const __mmask64 k = _mm512_mask_cmpeq_epi8_mask(candidates, Load64(p), m.d);
    return _mm512_mask_cmpeq_epi8_mask(k, Load64(p + 3), m.v);
  } else {
    const __mmask64 k = _mm512_mask_cmpeq_epi8_mask(candidates, Load64(p + 1), m.h);
    return _mm512_mask_cmpeq_epi8_mask(k, Load64(p + 2), m.a);
  }
}

// The blocks of [i, end) with one filter pair; counts in `busy` the blocks that needed the
// confirmation.
template <bool kHA>
KORVANE_AVX2 inline size_t Avx2Blocks(const uint8_t* buf, size_t i, size_t end, const Avx2Magic& m,
                                      uint32_t* out, size_t count, unsigned& busy) {
  for (; i < end; i += 128) {
    const uint8_t* p = buf + i;
    const __m256i c0 = Candidates32<kHA>(p, m), c1 = Candidates32<kHA>(p + 32, m);
    const __m256i c2 = Candidates32<kHA>(p + 64, m), c3 = Candidates32<kHA>(p + 96, m);
    const __m256i any = _mm256_or_si256(_mm256_or_si256(c0, c1), _mm256_or_si256(c2, c3));
    if (!_mm256_testz_si256(any, any)) {
      ++busy;
      const __m256i m0 = Confirm32<kHA>(c0, p, m), m1 = Confirm32<kHA>(c1, p + 32, m);
      const __m256i m2 = Confirm32<kHA>(c2, p + 64, m), m3 = Confirm32<kHA>(c3, p + 96, m);
      const uint32_t base = static_cast<uint32_t>(i);
      count = Emit(Bits32(m0) | uint64_t{Bits32(m1)} << 32, base, out, count);
      count = Emit(Bits32(m2) | uint64_t{Bits32(m3)} << 32, base + 64, out, count);
    }
  }
  return count;
}

template <bool kHA>
KORVANE_AVX512 inline size_t Avx512Blocks(const uint8_t* buf, size_t i, size_t end,
                                          const Avx512Magic& m, uint32_t* out, size_t count,
                                          unsigned& busy) {
  for (; i < end; i += 256) {
    const uint8_t* p = buf + i;
    const uint64_t c0 = Candidates64<kHA>(p, m), c1 = Candidates64<kHA>(p + 64, m);
    const uint64_t c2 = Candidates64<kHA>(p + 128, m), c3 = Candidates64<kHA>(p + 192, m);
    if ((c0 | c1 | c2 | c3) != 0) {
      ++busy;
      const uint32_t base = static_cast<uint32_t>(i);
      count = Emit(Confirm64<kHA>(c0, p, m), base, out, count);
      count = Emit(Confirm64<kHA>(c1, p + 64, m), base + 64, out, count);
      count = Emit(Confirm64<kHA>(c2, p + 128, m), base + 128, out, count);
      count = Emit(Confirm64<kHA>(c3, p + 192, m), base + 192, out, count);
    }
  }
  return count;
}

// Runs the blocks of [0, end) in groups, each with the filter pair that was the quieter of late:
// after a group where more than a quarter of the blocks needed the confirmation, the next group
// filters on the other pair.
template <typename Blocks>
inline size_t FilteredGroups(size_t end, size_t block, Blocks blocks) {
  constexpr size_t kGroupBlocks = 64;
  size_t count = 0;
  bool ha = false;
  for (size_t i = 0; i < end;) {
    const size_t group_end = i + std::min(end - i, kGroupBlocks * block);
    unsigned busy = 0;
    count = blocks(ha, i, group_end, count, busy);
    if (busy > kGroupBlocks / 4) ha = !ha;
    i = group_end;
  }
  return count;
}

}  // namespace

size_t FindMagicSse2(const uint8_t* buf, size_t n, uint32_t* out) {
  if (n < 16) return FindMagicScalar(buf, n, out);
  const Sse2Magic m;
  size_t count = 0;
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m128i m0 = Match16(buf + i, m), m1 = Match16(buf + i + 16, m);
    const __m128i m2 = Match16(buf + i + 32, m), m3 = Match16(buf + i + 48, m);
    const __m128i any = _mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3));
    if (Bits16(any) != 0) {
      const uint64_t bits = Bits16(m0) | uint64_t{Bits16(m1)} << 16 | uint64_t{Bits16(m2)} << 32 |
                            uint64_t{Bits16(m3)} << 48;
      count = Emit(bits, static_cast<uint32_t>(i), out, count);
    }
  }
  for (; i + 16 <= n; i += 16)
    count = Emit(Bits16(Match16(buf + i, m)), static_cast<uint32_t>(i), out, count);
  if (i < n) {
    const size_t last = n - 16;  // overlaps [last, i), already tested
    count = Emit(Bits16(Match16(buf + last, m)) & (~0u << (i - last)), static_cast<uint32_t>(last),
                 out, count);
  }
  return count;
}

KORVANE_AVX2 size_t FindMagicAvx2(const uint8_t* buf, size_t n, uint32_t* out) {
  if (n < 32) return FindMagicScalar(buf, n, out);
  const Avx2Magic m = MakeAvx2Magic();
  const size_t blocks_end = n / 128 * 128;
  size_t count = FilteredGroups(
      blocks_end, 128, [&](bool ha, size_t from, size_t to, size_t c, unsigned& busy) {
        return ha ? Avx2Blocks<true>(buf, from, to, m, out, c, busy)
                  : Avx2Blocks<false>(buf, from, to, m, out, c, busy);
      });
  size_t i = blocks_end;
  for (; i + 32 <= n; i += 32)
    count = Emit(Bits32(Match32(buf + i, m)), static_cast<uint32_t>(i), out, count);
  if (i < n) {
    const size_t last = n - 32;
    count = Emit(Bits32(Match32(buf + last, m)) & (~0u << (i - last)), static_cast<uint32_t>(last),
                 out, count);
  }
  return count;
}

KORVANE_AVX512 size_t FindMagicAvx512(const uint8_t* buf, size_t n, uint32_t* out) {
  if (n < 64) return FindMagicScalar(buf, n, out);
  const Avx512Magic m = MakeAvx512Magic();
  const size_t blocks_end = n / 256 * 256;
  size_t count = FilteredGroups(
      blocks_end, 256, [&](bool ha, size_t from, size_t to, size_t c, unsigned& busy) {
        return ha ? Avx512Blocks<true>(buf, from, to, m, out, c, busy)
                  : Avx512Blocks<false>(buf, from, to, m, out, c, busy);
      });
  size_t i = blocks_end;
  for (; i + 64 <= n; i += 64)
    count = Emit(Match64(buf + i, m), static_cast<uint32_t>(i), out, count);
  if (i < n) {
    const size_t last = n - 64;
    count = Emit(Match64(buf + last, m) & (~uint64_t{0} << (i - last)), static_cast<uint32_t>(last),
                 out, count);
  }
  return count;
}

#if defined(_MSC_VER) && !defined(__clang__)

namespace {
// CPUID leaf 7 bits and the XCR0 state bits the operating system must have enabled.
bool OsSaves(unsigned long long state) {
  return (_xgetbv(0) & state) == state;
}
bool HasOsxsave() {
  int r[4];
  __cpuid(r, 1);
  return (r[2] & (1 << 27)) != 0;
}
int Leaf7Ebx() {
  int r[4];
  __cpuidex(r, 7, 0);
  return r[1];
}
}  // namespace

bool CpuRunsAvx2() {
  return HasOsxsave() && OsSaves(0x6) && (Leaf7Ebx() & (1 << 5)) != 0;
}
bool CpuRunsAvx512() {
  const int ebx = Leaf7Ebx();
  return HasOsxsave() && OsSaves(0xE6) && (ebx & (1 << 16)) != 0 && (ebx & (1 << 30)) != 0;
}

#else

// The compiler's runtime checks both the CPU and that the OS saves the wider registers.
bool CpuRunsAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
bool CpuRunsAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

#endif

}  // namespace korvane::x86

#endif  // KORVANE_X86_KERNELS
