// SPDX-License-Identifier: GPL-3.0-or-later
// No source is mapped on Windows: nothing to catch.
#include <cstring>

#include "scan/map_fault.h"

namespace korvane {

MapFaultScope::MapFaultScope() : ok_(true) {}
MapFaultScope::~MapFaultScope() = default;

bool ReadMappedBytes(const uint8_t*, size_t, void (*read)(void* context), void* context) {
  read(context);
  return true;
}

bool CopyMappedBytes(uint8_t* dst, const uint8_t* src, size_t n) {
  if (n != 0) std::memcpy(dst, src, n);
  return true;
}

}  // namespace korvane
