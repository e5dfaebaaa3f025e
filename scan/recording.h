// Recordings, and the sink a scan reports them and its progress to.
#pragma once

#include <cstdint>
#include <string>

#include "scan/result.h"
#include "scan/time_model.h"

namespace korvane {

// One recording: a run of accepted frames whose times step by 0 or 1 second.
struct Recording {
  uint64_t index = 0;         // row number in this scan; gives the name "<index>.dav"
  int64_t start = 0;          // time of the first frame (Unix seconds)
  int64_t end = 0;            // time of the last frame so far
  uint64_t position = 0;      // source position of the first frame's header
  uint64_t end_position = 0;  // source position just past the last frame
  uint64_t frames = 0;

  std::string Name() const;
  std::string StartText() const { return FormatUnixSeconds(start); }
  std::string EndText() const { return FormatUnixSeconds(end); }
};

// Where a scan reports. Calls come from the thread that called ScanSource, in order, one at a
// time. Each returns whether the sink could take it: a failure (for example an output that
// cannot be written) ends the scan as failed with that Status, and the sink is not called again.
class ScanSink {
 public:
  virtual ~ScanSink() = default;
  // The scan begins: `total` bytes of the source will be read (the part of the range that the
  // source holds).
  virtual Status OnScanStart(uint64_t total) {
    (void)total;
    return Status::Ok();
  }
  // `done` of `total` bytes have been scanned (after each chunk; done == total at the end).
  virtual Status OnProgress(uint64_t done, uint64_t total) {
    (void)done, (void)total;
    return Status::Ok();
  }
  // A recording's first frame was found: its name, start and position are final.
  virtual Status OnRecordingOpened(const Recording& r) {
    (void)r;
    return Status::Ok();
  }
  // A recording ended: its end time, end position and frame count are final.
  virtual Status OnRecordingClosed(const Recording& r) {
    (void)r;
    return Status::Ok();
  }
};

}  // namespace korvane
