// SPDX-License-Identifier: GPL-3.0-or-later
// Finding the frame-header magic "DHAV" at every byte position of a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

inline constexpr uint8_t kFrameMagic[4] = {'D', 'H', 'A', 'V'};
inline constexpr uint32_t kFrameMagicWord = 0x56414844;  // "DHAV" read little-endian
inline constexpr size_t kFrameHeaderSize = 24;

inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A search kernel writes, in increasing order, every position p in [0, n) where buf[p..p+3] is
// the magic, and returns their count. buf must hold n + 3 readable bytes; out must have room for
// n / 4 + 1 positions (matches cannot overlap, so that bounds them). n must be below 2^32.
using FindMagicFn = size_t (*)(const uint8_t* buf, size_t n, uint32_t* out);

// The reference: one four-byte comparison at each position, nothing skipped. Every other kernel
// must give exactly its answer.
size_t FindMagicScalar(const uint8_t* buf, size_t n, uint32_t* out);

struct FindMagicKernel {
  const char* name;  // "scalar", "sse2", "avx2", "avx512"
  FindMagicFn find;
  bool supported;  // this CPU (and its operating system) can run it
};

// Every kernel of this build, the reference first and the fastest last.
const std::vector<FindMagicKernel>& FindMagicKernels();

// The kernel the scanner uses. Chosen once, at the first call: the one named by the environment
// variable KORVANE_KERNEL if this CPU runs it, otherwise the fastest this CPU runs.
FindMagicFn SelectedFindMagic();
const char* SelectedFindMagicName();

// Makes the scanner use the kernel of that name from now on. False, and nothing changed, when this
// build has no such kernel or this CPU cannot run it.
bool SelectFindMagic(std::string_view name);

// Non-empty when KORVANE_KERNEL names a kernel that cannot be used here (the fastest then runs):
// says why, and which kernels this CPU runs.
std::string FindMagicOverrideProblem();

// The names of the kernels this CPU runs, separated by spaces ("scalar sse2 avx2").
std::string SupportedFindMagicNames();

}  // namespace korvane
