// SPDX-License-Identifier: GPL-3.0-or-later
// Segmenters: they receive a scan's frames in position order and group them into recordings.
// They know nothing of chunks, threads or the source.
#pragma once

#include <array>
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

// Counts a frame into what a recording holds: its valid and complete frames, and its channel's
// content (the first codec, size and frame rate its frames state).
void CountFrameContent(Recording& r, const Frame& frame);

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

// Which matches are frames of the camera grouping: valid ones that do not lie inside the bytes of
// a complete frame before them (such a match is that frame's data, which a player never sees as
// a frame). Takes every match in position order.
class CameraFrameRule {
 public:
  // Whether `frame` is a frame of the camera grouping; notes where a complete one ends.
  bool Accept(const Frame& frame) {
    if (!frame.traits.valid || frame.position < covered_until_) return false;
    if (frame.traits.complete) covered_until_ = frame.end_position;
    return true;
  }
  // Whether the match would have been a valid frame but lies inside a complete frame.
  static bool IsData(const Frame& frame, bool accepted) { return frame.traits.valid && !accepted; }

 private:
  uint64_t covered_until_ = 0;
};

// Recordings per channel: the frames the camera grouping accepts (CameraFrameRule), each
// channel's on a time line of its own with the same rule as TimeSegmenter. Audio and auxiliary
// frames belong to their channel. Recordings are numbered in the order of their first frames and
// reported through OnCameraRecordingOpened/Closed; at the end the open ones close in that order.
class CameraSegmenter final : public Segmenter {
 public:
  explicit CameraSegmenter(ScanSink& sink) : sink_(sink) {}

  Status AddFrame(const Frame& frame) override;
  Status Finish() override;
  uint64_t count() const override { return next_index_; }
  // Valid matches that lay inside a complete frame, taken as its data.
  uint64_t data_matches() const { return data_matches_; }

 private:
  ScanSink& sink_;
  CameraFrameRule rule_;
  std::array<Recording, 256> current_{};  // by channel
  std::array<bool, 256> open_{};
  uint64_t next_index_ = 0;
  uint64_t data_matches_ = 0;
};

}  // namespace korvane
