// Finding the frame-header magic "DHAV" at every byte position of a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The reference: one four-byte comparison at each position, nothing skipped.
size_t FindMagicScalar(const uint8_t* buf, size_t n, uint32_t* out);

// The kernel the scanner uses.
FindMagicFn SelectedFindMagic();
const char* SelectedFindMagicName();

}  // namespace korvane
