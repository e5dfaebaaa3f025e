// SPDX-License-Identifier: GPL-3.0-or-later
// Frames of a recording as the video exporter and the thumbnails read them: one frame read and
// checked at a position, and the frames of each channel found in a byte span.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "scan/frame_header.h"
#include "scan/result.h"
#include "scan/source_reader.h"

namespace korvane::video {

enum class FrameCheck {
  kComplete,    // a valid frame with its trailer
  kNotAFrame,   // the bytes there are no valid frame header
  kIncomplete,  // a valid header whose trailer is missing or wrong (cut short, overwritten)
  kUnreadable,  // some of its sectors could not be read
};

struct FrameBytes {
  FrameHeader header;
  std::vector<uint8_t> bytes;  // the whole frame, header to trailer (for a complete frame)
  size_t payload_offset = 0;   // where the codec's data starts in `bytes`
  size_t payload_size = 0;     // and how long it is (up to the trailer)

  const uint8_t* payload() const { return bytes.data() + payload_offset; }
};

// Reads the frame whose header starts at `position` and checks it with the frame parser. Fails
// (kReadFailed, saying so) when the source no longer holds bytes it held when it was opened (it
// shrank or vanished): what is left of a recording then is not what was listed.
Result<FrameCheck> ReadFrameAt(SourceReader& reader, uint64_t position, FrameBytes* frame);

// ReadFrameAt through a window of the source read 1 MiB at a time: frames taken in position
// order cost one read per MiB instead of one or two each. A frame whose window had bytes that
// could not be read, or that the source no longer holds, is read again on its own by
// ReadFrameAt, so what it reports is the same.
class FrameReader {
 public:
  explicit FrameReader(SourceReader& reader) : reader_(reader) {}
  Result<FrameCheck> Read(uint64_t position, FrameBytes* frame);

 private:
  // Whether [position, position + len) is in the window, loading it there if not. False when the
  // window's read was not clean.
  bool Cover(uint64_t position, size_t len);

  SourceReader& reader_;
  std::vector<uint8_t> window_;
  uint64_t start_ = 0;
  size_t size_ = 0;
  bool clean_ = false;
};

// One channel's frames in a byte span.
struct ChannelFrames {
  uint8_t channel = 0;
  std::vector<uint64_t> frames;  // valid frames (video, audio, auxiliary), in position order
  uint64_t video_frames = 0;     // of them, video frames (key frames included)
  uint64_t key_frames = 0;
};

// Walks [begin, end) of the source for frames: each valid header (the frame parser's rule) is a
// frame of its channel, and a complete frame's own bytes are not searched further (a magic inside
// a picture is the picture's data). A header past `end` is not taken, even when its frame would
// reach into the span. Channels in order of their number. Fails when the source shrank, or
// (kStopped) when `stop` is set (read after every MiB).
Result<std::vector<ChannelFrames>> FindChannelFrames(SourceReader& reader, uint64_t begin,
                                                     uint64_t end, const std::atomic<int>& stop);

}  // namespace korvane::video
