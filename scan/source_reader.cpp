// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/source_reader.h"

#include <algorithm>
#include <cstring>

namespace korvane {
namespace {
constexpr uint64_t kSectorMask = SourceReader::kSectorSize - 1;
}

SourceReader::SourceReader(std::unique_ptr<RawDevice> device)
    : device_(std::move(device)), size_(device_->Size()) {}

Result<std::unique_ptr<SourceReader>> SourceReader::Open(const std::string& path) {
  auto device = OpenSource(path);
  if (!device.ok()) return device.status();
  return std::make_unique<SourceReader>(std::move(*device));
}

std::unique_ptr<SourceReader> SourceReader::Share() const {
  if (!device_->ConcurrentReads()) return nullptr;
  return std::unique_ptr<SourceReader>(new SourceReader(device_, size_, SharedTag{}));
}

SourceReader::Stats SourceReader::ReadAligned(uint8_t* dst, size_t len, uint64_t offset,
                                              size_t counted) {
  stats_ = Stats{};
  const uint64_t size = size_;
  if (len == 0) return stats_;
  if (offset >= size) {
    std::memset(dst, 0, len);
    return stats_;
  }
  // Only the bytes that exist are read; the rest of the request reads as zeros.
  const size_t avail = static_cast<size_t>(std::min<uint64_t>(len, size - offset));
  if (avail < len) std::memset(dst + avail, 0, len - avail);
  count_lo_ = offset;
  count_hi_ = offset + std::min(counted, avail);

  const uint64_t start = offset & ~kSectorMask;
  const uint64_t data_end = offset + avail;
  const uint64_t end = (data_end + kSectorMask) & ~kSectorMask;
  const size_t span = static_cast<size_t>(end - start);
  if (start == offset && span == avail) {
    ReadRange(dst, avail, offset);
  } else {
    if (bounce_.size() < span) bounce_.resize(span);
    // The last sector of a source whose size is not a multiple of 512 is read only as far as
    // it goes; the rest of the bounce buffer is never copied out.
    ReadRange(bounce_.data(), static_cast<size_t>(std::min<uint64_t>(span, size - start)), start);
    std::memcpy(dst, bounce_.data() + (offset - start), avail);
  }
  return std::move(stats_);
}

// Reads [pos, pos + n) into buf, looping over short reads. Bytes past the source's end (it may
// shrink while we read) become zeros; after a read error the rest is salvaged piece by piece.
void SourceReader::ReadRange(uint8_t* buf, size_t n, uint64_t pos) {
  size_t done = 0;
  while (done < n) {
    Result<size_t> got = device_->ReadAt(buf + done, n - done, pos + done);
    if (got.ok() && *got > 0) {
      done += *got;
      continue;
    }
    if (got.ok()) {
      // The source ends here now: it held these bytes when it was opened.
      std::memset(buf + done, 0, n - done);
      const uint64_t lo = std::max(pos + done, count_lo_);
      const uint64_t hi = std::min(pos + n, count_hi_);
      if (hi > lo) stats_.missing += hi - lo;
      NoteSourceEnd(pos + done);
      return;
    }
    if (stats_.error.empty()) stats_.error = got.status().message();
    Salvage(buf + done, n - done, pos + done);
    return;
  }
}

// A read at `at` found the source's end: it ends there, or before when it shrank before bytes
// already read (the device may say where).
void SourceReader::NoteSourceEnd(uint64_t at) {
  const uint64_t end = std::min(at, device_->CurrentSize());
  stats_.source_end = std::min(stats_.source_end.value_or(UINT64_MAX), end);
}

// Splits a failed range at a sector boundary and reads each half again, down to single sectors.
// A sector that still fails reads as zeros and counts as unreadable; one that the source no
// longer holds (it shrank) reads as zeros and counts as missing.
void SourceReader::Salvage(uint8_t* buf, size_t n, uint64_t pos) {
  const uint64_t last = pos + n - 1;
  if ((pos & ~kSectorMask) == (last & ~kSectorMask)) {
    size_t done = 0;
    bool ended = false;
    while (done < n) {
      const Result<size_t> got = device_->ReadAt(buf + done, n - done, pos + done);
      if (!got.ok()) break;
      if (*got == 0) {
        ended = true;
        break;
      }
      done += *got;
    }
    if (done < n) {
      std::memset(buf + done, 0, n - done);
      // Count the lost bytes that the caller asked to count (and that the source held).
      const uint64_t lo = std::max(pos + done, count_lo_);
      const uint64_t hi = std::min({pos + n, count_hi_, size_});
      if (hi > lo) (ended ? stats_.missing : stats_.unreadable) += hi - lo;
      if (ended) NoteSourceEnd(pos + done);
    }
    return;
  }
  uint64_t mid = (pos + n / 2) & ~kSectorMask;
  if (mid <= pos) mid = (pos | kSectorMask) + 1;
  const size_t first = static_cast<size_t>(mid - pos);
  ReadRange(buf, first, pos);
  ReadRange(buf + first, n - first, mid);
}

}  // namespace korvane
