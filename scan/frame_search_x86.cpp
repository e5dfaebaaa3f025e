// SPDX-License-Identifier: GPL-3.0-or-later
// SIMD search kernels for "DHAV" on x86-64.
//
// Why they look the way they do (README.md, "Performance", has the measured speeds):
// - The SSE2 kernel tests all four bytes of every position: vector k of a block compares the
//   bytes at p, p+1, p+2 and p+3 with 'D', 'H', 'A' and 'V' (four unaligned loads, four byte
//   compares, three ANDs). Its speed is the same on every input; only matches slow it down.
// - AVX2 and AVX-512 filter first and confirm by the block. A block's vectors first compare only
//   two of the four bytes, 'D' at p and 'V' at p+3 (two loads a vector); only a block where some
//   position passes that gets the other two compares, for all its vectors at once, so each
//   position is still tested on all four bytes before it is reported. With these widths the
//   kernel is bound by its loads (two per cycle), so halving them nearly doubles the speed where
//   such pairs are rare (random data, zeros).
// - Data can be full of one pair (video payloads may be): every block then takes the
//   confirmation and costs what the exact four-load test costs. So the blocks go in groups of 64,
//   and after a group where more than a quarter of the blocks needed the confirmation the next
//   group filters on the other pair, 'H' at p+1 and 'A' at p+2, and confirms 'D' and 'V'. Data
//   dense in one pair runs at full speed; only data dense in both (DxxVxHAx...) falls back to
//   about the exact test's speed. A confirmation per candidate position instead of per block
//   would be far slower than that on such data.
// - One branch per four vectors: the four match vectors are ORed and tested once (64 bytes with
//   SSE2, 128 with AVX2, 256 with AVX-512). A branch per vector is much slower on random data;
//   the shape of the loop matters more than the width of the vectors.
// - On a block with matches each vector's byte mask is taken apart bit by bit, lowest first, so
//   positions come out in increasing order and none is skipped after a match.
// - The last partial vector is not done byte by byte: the kernel tests the last full vector of
//   the buffer again (it overlaps positions already tested) and drops the overlapped positions
//   from its mask. Loads never go past buf[n + 2], which the caller guarantees readable.
// - Buffers shorter than one vector go to the scalar reference.
// - AVX2 and AVX-512 run the same algorithm, so it is written once (frame_search_wide.inc) over a
//   small traits type per instruction set (Avx2, Avx512 below: broadcast, compare, compare in the
//   lanes that passed so far, or, any, bits), and compiled once for each. The two differ only
//   inside the traits: AVX2 tests give vectors to AND, AVX-512 tests give mask registers that
//   the next compare takes as its write mask.
// - Each kernel carries its own target attribute, so the rest of the program stays plain x86-64
//   and runs on any x86-64 CPU; frame_search.cpp picks a kernel at run time by CPU features.
//   Every kernel must give exactly what FindMagicScalar gives: tests/frame_search_test.cpp and
//   fuzz/kernel_fuzzer.cpp check that, bench/kernel_bench.cpp measures the speed.
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

// ---- AVX2 and AVX-512: one wide kernel (frame_search_wide.inc), two sets of traits -----------

// 32 positions a vector; a test's result is a vector with 0xFF in the lanes that passed.
struct Avx2 {
  static constexpr size_t kLanes = 32;
  using Splat = __m256i;
  using Lanes = __m256i;
  KORVANE_AVX2 static Splat Broadcast(uint8_t byte) {
    return _mm256_set1_epi8(static_cast<char>(byte));
  }
  KORVANE_AVX2 static Lanes Eq(const uint8_t* p, Splat s) {
    return _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), s);
  }
  KORVANE_AVX2 static Lanes EqToo(Lanes x, const uint8_t* p, Splat s) {
    return _mm256_and_si256(x, Eq(p, s));
  }
  KORVANE_AVX2 static Lanes Or(Lanes x, Lanes y) { return _mm256_or_si256(x, y); }
  KORVANE_AVX2 static bool Any(Lanes x) { return !_mm256_testz_si256(x, x); }
  KORVANE_AVX2 static uint64_t Bits(Lanes x) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(x));
  }
};

// 64 positions a vector; a test's result is a mask register, and each further compare runs only
// in the lanes of the mask it is given, so no ANDs are needed.
struct Avx512 {
  static constexpr size_t kLanes = 64;
  using Splat = __m512i;
  using Lanes = __mmask64;
  KORVANE_AVX512 static Splat Broadcast(uint8_t byte) {
    return _mm512_set1_epi8(static_cast<char>(byte));
  }
  KORVANE_AVX512 static Lanes Eq(const uint8_t* p, Splat s) {
    return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p), s);
  }
  KORVANE_AVX512 static Lanes EqToo(Lanes x, const uint8_t* p, Splat s) {
    return _mm512_mask_cmpeq_epi8_mask(x, _mm512_loadu_si512(p), s);
  }
  KORVANE_AVX512 static Lanes Or(Lanes x, Lanes y) { return x | y; }
  KORVANE_AVX512 static bool Any(Lanes x) { return x != 0; }
  KORVANE_AVX512 static uint64_t Bits(Lanes x) { return x; }
};

namespace avx2 {
#define KORVANE_WIDE_TARGET KORVANE_AVX2
#include "scan/frame_search_wide.inc"
#undef KORVANE_WIDE_TARGET
}  // namespace avx2

namespace avx512 {
#define KORVANE_WIDE_TARGET KORVANE_AVX512
#include "scan/frame_search_wide.inc"
#undef KORVANE_WIDE_TARGET
}  // namespace avx512

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
  return avx2::FindMagicWide<Avx2>(buf, n, out);
}

KORVANE_AVX512 size_t FindMagicAvx512(const uint8_t* buf, size_t n, uint32_t* out) {
  return avx512::FindMagicWide<Avx512>(buf, n, out);
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
