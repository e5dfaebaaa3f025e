// SPDX-License-Identifier: GPL-3.0-or-later
// A frame as the scan sees it: where its header lies, where the frame ends and when it was
// recorded; and the header fields it is read from.
#pragma once

#include <cstdint>

#include "scan/frame_header.h"
#include "scan/frame_search.h"

namespace korvane {

inline constexpr uint32_t kMinFrameLength = 24;
inline constexpr uint32_t kMaxFrameLength = 16u << 20;

// Named fields of a frame header (24 bytes from the magic, little-endian).
namespace header_field {
inline constexpr size_t kFrameLength = 12;  // u32: bytes from the header's start to the frame's end
inline constexpr size_t kPackedTime = 16;   // u32: the recording time (see time_model.h)
}  // namespace header_field

// The frame length a header states, or kMinFrameLength when it cannot be a frame's length.
inline uint32_t FrameLengthOf(const uint8_t* header) {
  const uint32_t length = LoadLe32(header + header_field::kFrameLength);
  return length < kMinFrameLength || length > kMaxFrameLength ? kMinFrameLength : length;
}

// The packed recording time of a header.
inline uint32_t PackedTimeOf(const uint8_t* header) {
  return LoadLe32(header + header_field::kPackedTime);
}

// What the rest of a header says, as far as the groupings need it.
struct FrameTraits {
  bool valid = false;     // ParseFrameHeader's verdict
  bool complete = false;  // IsCompleteFrame's verdict on the source's bytes
  uint8_t type = 0;
  uint8_t channel = 0;
  VideoCodec codec = VideoCodec::kUnknown;
  std::optional<uint16_t> width;
  std::optional<uint16_t> height;
  std::optional<uint8_t> fps;
};

// The traits a parsed header gives (complete is left for the trailer to say).
inline FrameTraits TraitsOf(const FrameHeader& h) {
  FrameTraits t;
  t.valid = h.valid;
  if (!h.valid) return t;
  t.type = h.type;
  t.channel = h.channel;
  t.codec = h.extensions.codec();
  t.width = h.extensions.width;
  t.height = h.extensions.height;
  t.fps = h.extensions.fps;
  return t;
}

// A frame found in the source: every match of the magic in the date window.
struct Frame {
  uint64_t position = 0;      // source position of its header's magic
  uint64_t end_position = 0;  // just past its last byte: position + the stated length
  uint32_t packed_time = 0;   // as stored in the header
  FrameTraits traits{};
};

}  // namespace korvane
