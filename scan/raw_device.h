// SPDX-License-Identifier: GPL-3.0-or-later
// The platform's view of an open source: a read-only, positionable byte device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "scan/result.h"

namespace korvane {

// Bytes of a source mapped into memory, read-only; unmapped with the object. Reading a mapped page
// that the source cannot deliver (a read error, or the source shrank below it) raises SIGBUS: read
// them only where map_fault.h catches that.
class MappedBytes {
 public:
  virtual ~MappedBytes() = default;
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 protected:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

class RawDevice {
 public:
  virtual ~RawDevice() = default;

  // Bytes the source holds (file size, or a block device's capacity).
  virtual uint64_t Size() const = 0;

  // The source's size now: a file may have shrunk since it was opened. Size() where the system
  // cannot tell.
  virtual uint64_t CurrentSize() const { return Size(); }

  // Reads up to len bytes at the absolute offset. Returns the count delivered (0 at the end of the
  // source), or kReadFailed with the system's reason as the message. Retries interrupted reads.
  virtual Result<size_t> ReadAt(void* dst, size_t len, uint64_t offset) = 0;

  // True when several threads may call ReadAt at once (each read names its own offset).
  virtual bool ConcurrentReads() const { return false; }

  // True when Map can map the source: a plain regular file on a system that maps files.
  virtual bool Mappable() const { return false; }

  // Maps the bytes [offset, offset + len), which must lie inside Size(). Null when the source
  // cannot be mapped or the system refuses (callers then read the bytes with ReadAt). The mapping
  // may be used from any thread.
  virtual std::unique_ptr<MappedBytes> Map(uint64_t /*offset*/, size_t /*len*/) { return nullptr; }
};

// Opens path read-only, letting others go on reading and writing it. Only regular files and
// block devices (raw drives) are accepted. A failure is kOpenFailed with a message naming the path
// and the system's reason. Never creates anything.
Result<std::unique_ptr<RawDevice>> OpenRawDevice(const std::string& path);

// Sources of other kinds than a plain file or drive (an image format, several files read as one
// source), recognised from the path and the file's contents. An opener answers nullopt when the
// path is not of its kind, and otherwise the open device or the reason it cannot be opened.
using SourceOpener =
    std::function<std::optional<Result<std::unique_ptr<RawDevice>>>(const std::string& path)>;

// Adds an opener that OpenSource asks, in the order added; a second opener under the same name
// replaces the first. Safe to call from any thread.
void RegisterSourceOpener(const std::string& name, SourceOpener opener);

// Opens a source of any kind: the first registered opener that recognises the path opens it,
// otherwise OpenRawDevice. Everything that reads a source by its path (scans, saves) opens it
// here, so a source reads the same bytes whoever opens it.
Result<std::unique_ptr<RawDevice>> OpenSource(const std::string& path);

}  // namespace korvane
