// The platform's view of an open source: a read-only, positionable byte device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "scan/result.h"

namespace korvane {

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
};

// Opens path read-only, letting others go on reading and writing it. Only regular files and
// block devices (raw drives) are accepted. A failure is kOpenFailed with a message naming the path
// and the system's reason. Never creates anything.
Result<std::unique_ptr<RawDevice>> OpenRawDevice(const std::string& path);

}  // namespace korvane
