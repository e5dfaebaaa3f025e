// SPDX-License-Identifier: GPL-3.0-or-later
// Recordings, and the sink a scan reports them and its progress to.
//
// A scan forms two groupings of the same frames at once:
// - the time grouping: every match of the magic is a frame, on one time line for all channels
//   (TimeSegmenter); its rows are the list's as it always was;
// - the camera grouping: only valid frames count, a match inside the bytes of a complete frame is
//   that frame's data, and each channel has recordings of its own (CameraSegmenter).
// Both come from the one pass; a sink hears the time grouping through OnRecordingOpened/Closed
// and the camera grouping through OnCameraRecordingOpened/Closed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scan/frame_header.h"
#include "scan/result.h"
#include "scan/time_model.h"

namespace korvane {

enum class Grouping : uint8_t {
  kTime,    // one time line for every match
  kCamera,  // per channel, valid frames only
};

// What a recording holds of one channel, counted over its valid frames. Codec, size and frame
// rate are the first the channel's frames state in their extension blocks (unset when none does).
struct ChannelContent {
  uint8_t channel = 0;
  uint64_t video_frames = 0;  // key and other video frames
  uint64_t key_frames = 0;    // of them, key frames
  uint64_t audio_frames = 0;
  uint64_t auxiliary_frames = 0;
  VideoCodec codec = VideoCodec::kUnknown;
  std::optional<uint16_t> width;
  std::optional<uint16_t> height;
  std::optional<uint8_t> fps;

  bool operator==(const ChannelContent&) const = default;
};

// One recording: a run of accepted frames whose times step by 0 or 1 second.
struct Recording {
  uint64_t index = 0;         // row number in its grouping; gives the name "<index>.dav"
  int64_t start = 0;          // time of the first frame (Unix seconds)
  int64_t end = 0;            // time of the last frame so far
  uint64_t position = 0;      // source position of the first frame's header
  uint64_t end_position = 0;  // source position just past the last frame
  uint64_t frames = 0;        // frames in it (in the time grouping every match is one)

  Grouping grouping = Grouping::kTime;
  std::optional<uint8_t> channel{};        // the camera grouping's channel; unset in the time one
  std::vector<ChannelContent> channels{};  // the channels of its valid frames, by channel number
  uint64_t valid_frames = 0;               // frames whose header is valid
  uint64_t complete_frames = 0;            // of them, those whose trailer is there and matches

  std::string Name() const;
  std::string StartText() const { return FormatUnixSeconds(start); }
  std::string EndText() const { return FormatUnixSeconds(end); }
  uint64_t ByteSpan() const { return end_position - position; }
  // The content of `number`, when the recording has valid frames of that channel.
  const ChannelContent* Channel(uint8_t number) const;
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
  // The time grouping. A recording's first frame was found: its name, start and position are
  // final.
  virtual Status OnRecordingOpened(const Recording& r) {
    (void)r;
    return Status::Ok();
  }
  // A recording ended: its end time, end position, frame counts and channels are final.
  virtual Status OnRecordingClosed(const Recording& r) {
    (void)r;
    return Status::Ok();
  }
  // The camera grouping, the same way (r.grouping == Grouping::kCamera, r.channel set). Its
  // recordings are numbered apart from the time grouping's, in the order of their first frames,
  // and opened in that order; several are open at once (one per channel), so they close in any
  // order.
  virtual Status OnCameraRecordingOpened(const Recording& r) {
    (void)r;
    return Status::Ok();
  }
  virtual Status OnCameraRecordingClosed(const Recording& r) {
    (void)r;
    return Status::Ok();
  }
};

}  // namespace korvane
