// SPDX-License-Identifier: GPL-3.0-or-later
// A frame's 24-byte header and its extension blocks, read whole, and the rules that say whether a
// match of the magic is a real frame (valid) and whether that frame is all there (complete).
//
// Layout, little-endian, from the header's first byte:
//   0  "DHAV"                      12 frame length u32 (header start to trailer end)
//   4  type (FrameType)            16 packed date u32 (time_model.h)
//   5  subtype                     20 millisecond counter u16
//   6  channel                     22 extension length u8 (bytes of blocks after the header)
//   7  sub-number                  23 check byte (its rule is unknown: kept, never judged)
//   8  frame number u32
// Extension blocks follow the header, each 4 or 8 bytes by its tag (FrameExtensions). The frame
// ends with the trailer "dhav" + the frame length again (u32).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace korvane {

inline constexpr size_t kFrameTrailerSize = 8;
inline constexpr uint8_t kFrameTrailerMagic[4] = {'d', 'h', 'a', 'v'};
// A valid frame is at most this long; longer lengths are chance bytes.
inline constexpr uint32_t kFrameLengthLimit = 16u << 20;
// The most bytes a header and its extension blocks can take: what ParseFrameHeader needs.
inline constexpr size_t kFrameHeaderMaxBytes = 24 + 255;

enum class FrameType : uint8_t {
  kKeyVideo = 0xFD,  // a video frame a decoder can start at
  kVideo = 0xFC,     // any other video frame
  kAudio = 0xF0,
  kAuxiliary = 0xF1,  // data beside the pictures (motion, text overlays)
};

enum class VideoCodec : uint8_t { kUnknown, kH264, kH265, kMpeg4, kMjpeg };

// The codec of a video codec number from an 0x81 block: 2, 4 and 8 are H.264, 0x0C H.265,
// 1 MPEG-4, 3 MJPEG; any other number is kUnknown.
VideoCodec VideoCodecFromNumber(uint8_t number);
// "h264", "h265", "mpeg4" or "mjpeg"; nullptr for kUnknown.
const char* VideoCodecName(VideoCodec codec);

// What the extension blocks say. A block is read only when the whole of it lies inside the
// extension length; the walk stops at the first tag it does not know.
struct FrameExtensions {
  // 0x81 (4 bytes): byte 2 the video codec number, byte 3 frames per second.
  std::optional<uint8_t> video_codec;
  std::optional<uint8_t> fps;
  // 0x82 (8 bytes): width u16 at 4, height u16 at 6. 0x80 (4 bytes): width / 8 and height / 8 in
  // bytes 2 and 3, used only when the frame has no 0x82 block.
  std::optional<uint16_t> width;
  std::optional<uint16_t> height;
  // 0x83 (4 bytes): bytes 1 to 3.
  std::optional<uint8_t> audio_channels;
  std::optional<uint8_t> audio_codec;
  std::optional<uint8_t> audio_rate_index;
  // False when a known block reaches past the extension length.
  bool fit = true;

  VideoCodec codec() const {
    return video_codec ? VideoCodecFromNumber(*video_codec) : VideoCodec::kUnknown;
  }
};

struct FrameHeader {
  uint8_t type = 0;
  uint8_t subtype = 0;
  uint8_t channel = 0;
  uint8_t sub_number = 0;
  uint32_t frame_number = 0;
  uint32_t length = 0;  // header start to trailer end
  uint32_t packed_time = 0;
  uint16_t milliseconds = 0;
  uint8_t extension_length = 0;
  uint8_t check = 0;
  FrameExtensions extensions;
  // The type is one of FrameType's, 24 + extension length <= length <= kFrameLengthLimit, and
  // the extension blocks fit inside the extension length.
  bool valid = false;

  bool IsVideo() const {
    return type == static_cast<uint8_t>(FrameType::kKeyVideo) ||
           type == static_cast<uint8_t>(FrameType::kVideo);
  }
  bool IsKeyFrame() const { return type == static_cast<uint8_t>(FrameType::kKeyVideo); }
  bool IsAudio() const { return type == static_cast<uint8_t>(FrameType::kAudio); }
  // Where the trailer starts, counted from the header's first byte (meaningful for valid frames).
  uint32_t TrailerOffset() const {
    return length < kFrameTrailerSize ? 0 : length - static_cast<uint32_t>(kFrameTrailerSize);
  }
};

// Reads the header that begins at bytes[0] (where a match of the magic was found) and its
// extension blocks. `bytes` holds what the source has from there, up to kFrameHeaderMaxBytes
// (more are ignored); bytes the source does not have are read as zeros, as the scan reads them.
// Never fails: a match whose bytes make no frame comes back with valid == false.
FrameHeader ParseFrameHeader(std::span<const uint8_t> bytes);

// Whether a valid frame is complete: `trailer` holds the source's bytes at the frame's
// TrailerOffset() (8 of them, or fewer when the source ends before), which must be "dhav" and the
// frame's length. The trailer may lie far past the header (up to 16 MiB), so the caller fetches
// these bytes wherever it holds them. A frame too short to hold its trailer after its header and
// extension blocks is never complete.
bool IsCompleteFrame(const FrameHeader& header, std::span<const uint8_t> trailer);
// The same from the frame's header bytes (as ParseFrameHeader takes them).
bool IsCompleteFrame(std::span<const uint8_t> header_bytes, std::span<const uint8_t> trailer);

}  // namespace korvane
