// SPDX-License-Identifier: GPL-3.0-or-later
// A chunk of the source in memory, and where its bytes lie in the source.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// Bytes read from the source for one chunk: the chunk's own bytes, whose positions the chunk
// answers for, and after them an overlap of the bytes that follow, read so that a frame header
// starting among the chunk's last positions can be read whole. Positions in the overlap belong
// to the next chunk. Bytes past the source's end are zeros.
struct ChunkView {
  const uint8_t* data = nullptr;
  uint64_t source_offset = 0;  // source position of data[0]
  uint32_t own_bytes = 0;      // data[0, own_bytes) are this chunk's positions
  uint32_t overlap_bytes = 0;  // data[own_bytes, own_bytes + overlap_bytes) belong to the next
  // The bytes are the source's, mapped: read them after the search only with CopyMappedBytes
  // (map_fault.h), since the source may have lost them since.
  bool mapped = false;

  size_t size() const { return size_t{own_bytes} + overlap_bytes; }
  // The source position of data[offset].
  uint64_t Position(uint32_t offset) const { return source_offset + offset; }
  // The source position just past the chunk's own bytes.
  uint64_t OwnEnd() const { return source_offset + own_bytes; }
};

// Takes the bytes a scan reads, in order, beside the search: for example a hash of what was read.
class RangeObserver {
 public:
  virtual ~RangeObserver() = default;
  // The next `len` bytes of the range as they were read; zeros stand for bytes that could not be
  // read. Called from a thread of the scan's own, one call at a time.
  virtual void OnBytes(const uint8_t* data, size_t len) = 0;
};

}  // namespace korvane
