// SPDX-License-Identifier: GPL-3.0-or-later
// The x86-64 search kernels (frame_search_x86.cpp), for frame_search.cpp and the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#define KORVANE_X86_KERNELS 1

namespace korvane::x86 {

size_t FindMagicSse2(const uint8_t* buf, size_t n, uint32_t* out);
size_t FindMagicAvx2(const uint8_t* buf, size_t n, uint32_t* out);
size_t FindMagicAvx512(const uint8_t* buf, size_t n, uint32_t* out);

// What this CPU and its operating system can run (the OS must save the wider registers).
bool CpuRunsAvx2();
bool CpuRunsAvx512();  // AVX-512 F and BW

}  // namespace korvane::x86

#endif
