// SPDX-License-Identifier: GPL-3.0-or-later
// The search kernels against the per-position reference on arbitrary bytes.
//
// The input is laid out as a buffer of up to 96 KiB: its first two bytes say how long, the rest
// is repeated to fill it. Short inputs so become long runs of one pattern, which is what makes the
// wide kernels change the pair of bytes they filter on; a few bytes changed by the fuzzer then
// break a run at any place. Every kernel this CPU runs is called at each of the four alignments
// and must give exactly the reference's positions.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "scan/frame_search.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t length =
      (static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8) * 3 % (96 * 1024);
  const uint8_t* pattern = data + 2;
  const size_t pattern_size = size - 2;
  // Room for four alignments, and the 3 bytes a kernel may read past the end.
  std::vector<uint8_t> bytes(length + 3 + 3);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = pattern[i % pattern_size];

  static const std::vector<FindMagicKernel>& kernels = FindMagicKernels();
  std::vector<uint32_t> want(length / 4 + 1), got(length / 4 + 1);
  for (size_t align = 0; align < 4 && align <= length; ++align) {
    const uint8_t* buf = bytes.data() + align;
    const size_t n = length - align;
    const size_t count = FindMagicScalar(buf, n, want.data());
    for (const FindMagicKernel& k : kernels) {
      if (!k.supported) continue;
      std::fill(got.begin(), got.end(), 0xDEADBEEF);
      const size_t c = k.find(buf, n, got.data());
      CHECK(c == count, std::string(k.name) + ": " + std::to_string(c) + " matches, not " +
                            std::to_string(count) + " (n=" + std::to_string(n) + ")");
      CHECK(std::equal(want.begin(), want.begin() + static_cast<ptrdiff_t>(count), got.begin()),
            std::string(k.name) + ": other positions (n=" + std::to_string(n) + ")");
    }
  }
  return 0;
}
