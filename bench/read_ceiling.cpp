// SPDX-License-Identifier: GPL-3.0-or-later
// How fast this machine can read a file that is in the page cache at all: the file mapped whole,
// its pages mapped in advance, then every byte loaded (16 at a time) by one thread and by two
// threads, each over alternate 1 MiB pieces as the scan's threads go. No search, no page faults
// while timed: no program that looks at every byte of the file can go faster.
//
//   korvane-read-ceiling FILE [ROUNDS [THREADS]]
//
// Prints the best of ROUNDS (default 5) for each thread count in GB/s (10^9 bytes a second); with
// THREADS, only that count's figure, as a bare number (throughput.sh takes one every round).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace {

constexpr size_t kPiece = size_t{1} << 20;

// Loads every byte of [p, p + n); returns something of them so that no load is left out.
uint64_t Touch(const uint8_t* p, size_t n) {
#if defined(__x86_64__)
  __m128i a = _mm_setzero_si128(), b = a, c = a, d = a;
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    a = _mm_or_si128(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    b = _mm_or_si128(b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16)));
    c = _mm_or_si128(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 32)));
    d = _mm_or_si128(d, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 48)));
  }
  const __m128i all = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
  uint64_t r = static_cast<uint64_t>(_mm_cvtsi128_si64(all));
#else
  uint64_t r = 0;
  size_t i = 0;
#endif
  for (; i < n; ++i) r |= p[i];
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: korvane-read-ceiling FILE [ROUNDS [THREADS]]\n");
    return 2;
  }
  const int rounds = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 5;
  const unsigned only = argc == 4 ? static_cast<unsigned>(std::max(1, std::atoi(argv[3]))) : 0;
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size <= 0) {
    std::fprintf(stderr, "korvane-read-ceiling: cannot open '%s': %s\n", argv[1],
                 std::strerror(errno));
    return 1;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    std::fprintf(stderr, "korvane-read-ceiling: cannot map '%s': %s\n", argv[1],
                 std::strerror(errno));
    return 1;
  }
  const auto* bytes = static_cast<const uint8_t*>(map);
  volatile uint64_t sink = Touch(bytes, size);  // maps every page before the timing
  const std::vector<unsigned> counts =
      only != 0 ? std::vector<unsigned>{only} : std::vector<unsigned>{1, 2};
  for (const unsigned threads : counts) {
    double best = 0;
    for (int r = 0; r < rounds; ++r) {
      std::vector<uint64_t> got(threads);
      const auto start = std::chrono::steady_clock::now();
      std::vector<std::thread> pool;
      for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
          for (size_t at = t * kPiece; at < size; at += threads * kPiece) {
            got[t] |= Touch(bytes + at, std::min(kPiece, size - at));
          }
        });
      }
      for (std::thread& t : pool) t.join();
      const double s =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      best = std::max(best, static_cast<double>(size) / s / 1e9);
      for (const uint64_t g : got) sink = sink | g;
    }
    if (only != 0) {
      std::printf("%.2f\n", best);
      continue;
    }
    std::printf("  %-44s %6.2f GB/s\n",
                threads == 1 ? "reading every byte, mapped, one thread"
                             : "reading every byte, mapped, two threads",
                best);
  }
  ::munmap(map, size);
  ::close(fd);
  return 0;
}
