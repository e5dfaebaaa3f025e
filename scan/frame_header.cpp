// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/frame_header.h"

#include <algorithm>
#include <cstring>

#include "scan/frame_search.h"

namespace korvane {
namespace {

uint16_t LoadLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

bool IsFrameType(uint8_t type) {
  switch (static_cast<FrameType>(type)) {
    case FrameType::kKeyVideo:
    case FrameType::kVideo:
    case FrameType::kAudio:
    case FrameType::kAuxiliary:
      return true;
  }
  return false;
}

// Walks the blocks of `ext` (the extension length's bytes) into `e`, which starts empty. Stops at
// the first unknown tag, and at a known block that does not fit, which it reports. (It fills the
// caller's struct in place: building a copy byte by byte and then moving it costs more than the
// walk.)
void ReadExtensions(const uint8_t* ext, size_t length, FrameExtensions& e) {
  std::optional<uint16_t> width8, height8;  // from 0x80, used when no 0x82 block comes
  size_t at = 0;
  while (at < length) {
    const uint8_t* b = ext + at;
    size_t size = 0;
    switch (b[0]) {
      case 0x80:
      case 0x81:
      case 0x83:
        size = 4;
        break;
      case 0x82:
        size = 8;
        break;
      default:
        break;
    }
    if (size == 0) break;
    if (at + size > length) {
      e.fit = false;
      break;
    }
    switch (b[0]) {
      case 0x80:
        width8 = static_cast<uint16_t>(b[2] * 8);
        height8 = static_cast<uint16_t>(b[3] * 8);
        break;
      case 0x81:
        e.video_codec = b[2];
        e.fps = b[3];
        break;
      case 0x82:
        e.width = LoadLe16(b + 4);
        e.height = LoadLe16(b + 6);
        break;
      case 0x83:
        e.audio_channels = b[1];
        e.audio_codec = b[2];
        e.audio_rate_index = b[3];
        break;
    }
    at += size;
  }
  if (!e.width && width8) {
    e.width = width8;
    e.height = height8;
  }
}

}  // namespace

VideoCodec VideoCodecFromNumber(uint8_t number) {
  switch (number) {
    case 2:
    case 4:
    case 8:
      return VideoCodec::kH264;
    case 0x0C:
      return VideoCodec::kH265;
    case 1:
      return VideoCodec::kMpeg4;
    case 3:
      return VideoCodec::kMjpeg;
    default:
      return VideoCodec::kUnknown;
  }
}

const char* VideoCodecName(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kH264:
      return "h264";
    case VideoCodec::kH265:
      return "h265";
    case VideoCodec::kMpeg4:
      return "mpeg4";
    case VideoCodec::kMjpeg:
      return "mjpeg";
    case VideoCodec::kUnknown:
      break;
  }
  return nullptr;
}

FrameHeader ParseFrameHeader(std::span<const uint8_t> bytes) {
  // Where the source ends inside the header or its blocks, read a zero-filled copy instead.
  uint8_t padded[kFrameHeaderMaxBytes];
  const uint8_t* h = bytes.data();
  if (bytes.size() < kFrameHeaderMaxBytes &&
      (bytes.size() < kFrameHeaderSize || bytes.size() < kFrameHeaderSize + bytes[22])) {
    std::memset(padded, 0, sizeof padded);
    if (!bytes.empty()) std::memcpy(padded, bytes.data(), bytes.size());
    h = padded;
  }
  FrameHeader f;
  f.type = h[4];
  f.subtype = h[5];
  f.channel = h[6];
  f.sub_number = h[7];
  f.frame_number = LoadLe32(h + 8);
  f.length = LoadLe32(h + 12);
  f.packed_time = LoadLe32(h + 16);
  f.milliseconds = LoadLe16(h + 20);
  f.extension_length = h[22];
  f.check = h[23];
  ReadExtensions(h + kFrameHeaderSize, f.extension_length, f.extensions);
  f.valid = std::memcmp(h, kFrameMagic, 4) == 0 && IsFrameType(f.type) &&
            kFrameHeaderSize + f.extension_length <= f.length && f.length <= kFrameLengthLimit &&
            f.extensions.fit;
  return f;
}

bool IsCompleteFrame(const FrameHeader& header, std::span<const uint8_t> trailer) {
  if (!header.valid || trailer.size() < kFrameTrailerSize) return false;
  if (header.length < kFrameHeaderSize + header.extension_length + kFrameTrailerSize) return false;
  return std::memcmp(trailer.data(), kFrameTrailerMagic, 4) == 0 &&
         LoadLe32(trailer.data() + 4) == header.length;
}

bool IsCompleteFrame(std::span<const uint8_t> header_bytes, std::span<const uint8_t> trailer) {
  return IsCompleteFrame(ParseFrameHeader(header_bytes), trailer);
}

}  // namespace korvane
