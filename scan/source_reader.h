// SPDX-License-Identifier: GPL-3.0-or-later
// Sector-aligned reads of an open source, salvaging what can be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scan/raw_device.h"
#include "scan/result.h"

namespace korvane {

class SourceReader {
 public:
  static constexpr uint32_t kSectorSize = 512;

  explicit SourceReader(std::unique_ptr<RawDevice> device);

  // Opens path read-only, as a source of any kind (see OpenSource and OpenRawDevice).
  static Result<std::unique_ptr<SourceReader>> Open(const std::string& path);

  // The source's size when it was opened. Reads are measured against it: what it held then and
  // no longer holds (it shrank) reads as zeros and is counted as missing.
  uint64_t Size() const { return size_; }

  // A second reader of the same open source, for another thread, when the device takes reads
  // from several threads at once; null otherwise. It shares the device, nothing else.
  std::unique_ptr<SourceReader> Share() const;

  // Whether the source's bytes can be mapped into memory (a plain regular file), and a map of
  // [offset, offset + len) inside Size(); null when it cannot be had (see RawDevice::Map).
  bool Mappable() const { return device_->Mappable(); }
  std::unique_ptr<MappedBytes> Map(uint64_t offset, size_t len) const {
    return device_->Map(offset, len);
  }

  struct Stats {
    uint64_t unreadable = 0;  // bytes of the counted part of the request that could not be read
    uint64_t missing = 0;     // bytes of the counted part that the source held when it was opened
                              // but no longer holds (it shrank); they read as zeros
    std::optional<uint64_t> source_end;  // where the source ended when it was found to have shrunk
    std::string error;                   // the system's reason for the first failed read, if any
  };

  // Fills dst[0, len) with the source's bytes from offset on. The request is widened to whole
  // 512-byte sectors; one aligned at both ends goes straight into dst, any other through a bounce
  // buffer. Bytes past the end of the source, and bytes of sectors that cannot be read even one
  // sector at a time, are zeros. Only the first `counted` bytes of the request are counted as
  // unreadable (a caller re-reading an overlap does not count it twice).
  Stats ReadAligned(uint8_t* dst, size_t len, uint64_t offset, size_t counted = SIZE_MAX);

 private:
  void ReadRange(uint8_t* buf, size_t n, uint64_t pos);
  void Salvage(uint8_t* buf, size_t n, uint64_t pos);
  void NoteSourceEnd(uint64_t at);

  struct SharedTag {};
  SourceReader(std::shared_ptr<RawDevice> device, uint64_t size, SharedTag)
      : device_(std::move(device)), size_(size) {}

  std::shared_ptr<RawDevice> device_;
  uint64_t size_;
  std::vector<uint8_t> bounce_;
  // Per-request state.
  uint64_t count_lo_ = 0;
  uint64_t count_hi_ = 0;
  Stats stats_;
};

}  // namespace korvane
