// Segmenters: they receive a scan's frames in position order and group them into recordings.
// They know nothing of chunks, threads or the source.
#pragma once

#include <cstdint>

#include "scan/frame.h"
#include "scan/recording.h"
#include "scan/result.h"

namespace korvane {

class Segmenter {
 public:
  virtual ~Segmenter() = default;
  // The next frame the scan accepted, in position order. A failure ends the scan.
  virtual Status AddFrame(const Frame& frame) = 0;
  // No more frames: closes what is still open.
  virtual Status Finish() = 0;
  // Recordings formed so far.
  virtual uint64_t count() const = 0;
};

// One time line for every frame: a frame whose time is 0 or 1 second after the previous one
// continues the current recording, any other step starts a new one. Reports each recording to
// the sink as it opens and as it closes.
class TimeSegmenter final : public Segmenter {
 public:
  explicit TimeSegmenter(ScanSink& sink) : sink_(sink) {}

  Status AddFrame(const Frame& frame) override;
  Status Finish() override;
  uint64_t count() const override { return next_index_; }

 private:
  ScanSink& sink_;
  Recording current_;
  bool open_ = false;
  uint64_t next_index_ = 0;
};

}  // namespace korvane
