// SPDX-License-Identifier: GPL-3.0-or-later
// The frame header parser: fields, extension blocks, validity and completeness.
#include "scan/frame_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace korvane {
namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A header of `type` and `length` followed by the extension blocks `ext`.
std::vector<uint8_t> Header(uint8_t type, uint32_t length, const std::vector<uint8_t>& ext = {}) {
  std::vector<uint8_t> b(24 + ext.size(), 0);
  b[0] = 'D', b[1] = 'H', b[2] = 'A', b[3] = 'V';
  b[4] = type;
  Put32(b, 12, length);
  b[22] = static_cast<uint8_t>(ext.size());
  std::copy(ext.begin(), ext.end(), b.begin() + 24);
  return b;
}

std::vector<uint8_t> Trailer(uint32_t length) {
  std::vector<uint8_t> t = {'d', 'h', 'a', 'v', 0, 0, 0, 0};
  Put32(t, 4, length);
  return t;
}

FrameHeader Parse(const std::vector<uint8_t>& b) {
  return ParseFrameHeader(b);
}

TEST(FrameHeader, ReadsEveryFieldLittleEndian) {
  const std::vector<uint8_t> b = {'D',  'H',  'A',  'V',  0xFC, 0x02, 0x07, 0x03,
                                  0x11, 0x22, 0x33, 0x44, 0x64, 0x00, 0x01, 0x00,
                                  0xA1, 0xB2, 0xC3, 0xD4, 0x39, 0x03, 0x00, 0x5A};
  const FrameHeader f = Parse(b);
  EXPECT_EQ(f.type, 0xFC);
  EXPECT_EQ(f.subtype, 0x02);
  EXPECT_EQ(f.channel, 0x07);
  EXPECT_EQ(f.sub_number, 0x03);
  EXPECT_EQ(f.frame_number, 0x44332211u);
  EXPECT_EQ(f.length, 0x00010064u);
  EXPECT_EQ(f.packed_time, 0xD4C3B2A1u);
  EXPECT_EQ(f.milliseconds, 825);
  EXPECT_EQ(f.extension_length, 0);
  EXPECT_EQ(f.check, 0x5A);
  EXPECT_TRUE(f.valid);
  EXPECT_TRUE(f.IsVideo());
  EXPECT_FALSE(f.IsKeyFrame());
  EXPECT_EQ(f.TrailerOffset(), 0x00010064u - 8);
  // The check byte's rule is unknown: no value of it makes a frame invalid.
  for (int check : {0x00, 0xFF, 0x5B}) {
    std::vector<uint8_t> c = b;
    c[23] = static_cast<uint8_t>(check);
    EXPECT_TRUE(Parse(c).valid) << check;
  }
}

TEST(FrameHeader, OnlyTheFourTypesAreFrames) {
  for (int type : {0xFD, 0xFC, 0xF0, 0xF1}) {
    const FrameHeader f = Parse(Header(static_cast<uint8_t>(type), 100));
    EXPECT_TRUE(f.valid) << type;
    EXPECT_EQ(f.IsVideo(), type == 0xFD || type == 0xFC) << type;
    EXPECT_EQ(f.IsKeyFrame(), type == 0xFD) << type;
    EXPECT_EQ(f.IsAudio(), type == 0xF0) << type;
  }
  for (int type : {0x00, 0xF2, 0xFB, 0xFE, 0xFF, 0x7D}) {
    EXPECT_FALSE(Parse(Header(static_cast<uint8_t>(type), 100)).valid) << type;
  }
  // Lower-case magic (the trailer's) is no header.
  std::vector<uint8_t> b = Header(0xFD, 100);
  b[0] = 'd';
  EXPECT_FALSE(Parse(b).valid);
}

TEST(FrameHeader, LengthFromHeaderAndExtensionsUpTo16MiB) {
  EXPECT_FALSE(Parse(Header(0xFD, 0)).valid);
  EXPECT_FALSE(Parse(Header(0xFD, 23)).valid);
  EXPECT_TRUE(Parse(Header(0xFD, 24)).valid);
  EXPECT_TRUE(Parse(Header(0xFD, 16u << 20)).valid);
  EXPECT_FALSE(Parse(Header(0xFD, (16u << 20) + 1)).valid);
  EXPECT_FALSE(Parse(Header(0xFD, 0xFFFFFFFF)).valid);
  // The extension blocks count: 24 + 12 bytes of blocks need a length of at least 36.
  const std::vector<uint8_t> ext = {0x81, 0, 2, 25, 0x82, 0, 0, 0, 0x60, 1, 0x20, 1};
  EXPECT_FALSE(Parse(Header(0xFD, 35, ext)).valid);
  EXPECT_TRUE(Parse(Header(0xFD, 36, ext)).valid);
}

TEST(FrameHeader, ExtensionBlocks) {
  // 0x81 codec and frames per second, 0x82 width and height.
  FrameHeader f = Parse(Header(0xFD, 400, {0x81, 0, 2, 25, 0x82, 0, 0, 0, 0x60, 0x01, 0x20, 0x01}));
  ASSERT_TRUE(f.valid);
  EXPECT_EQ(f.extensions.video_codec, 2);
  EXPECT_EQ(f.extensions.codec(), VideoCodec::kH264);
  EXPECT_EQ(f.extensions.fps, 25);
  EXPECT_EQ(f.extensions.width, 352);
  EXPECT_EQ(f.extensions.height, 288);
  EXPECT_FALSE(f.extensions.audio_codec);

  // 0x80: width and height in units of 8 pixels.
  f = Parse(Header(0xFC, 400, {0x80, 0, 90, 72}));
  ASSERT_TRUE(f.valid);
  EXPECT_EQ(f.extensions.width, 720);
  EXPECT_EQ(f.extensions.height, 576);
  EXPECT_FALSE(f.extensions.video_codec);
  EXPECT_EQ(f.extensions.codec(), VideoCodec::kUnknown);

  // The exact size of 0x82 wins over 0x80's, in either order.
  for (bool exact_first : {false, true}) {
    std::vector<uint8_t> rough = {0x80, 0, 90, 72}, exact = {0x82, 0, 0, 0, 0xD0, 0x02, 0xE0, 0x01};
    std::vector<uint8_t> ext = exact_first ? exact : rough;
    const std::vector<uint8_t>& second = exact_first ? rough : exact;
    ext.insert(ext.end(), second.begin(), second.end());
    f = Parse(Header(0xFD, 400, ext));
    EXPECT_EQ(f.extensions.width, 720) << exact_first;
    EXPECT_EQ(f.extensions.height, 480) << exact_first;
  }

  // 0x83: audio channels, codec and sample rate index.
  f = Parse(Header(0xF0, 400, {0x83, 1, 0x0E, 3}));
  ASSERT_TRUE(f.valid);
  EXPECT_EQ(f.extensions.audio_channels, 1);
  EXPECT_EQ(f.extensions.audio_codec, 0x0E);
  EXPECT_EQ(f.extensions.audio_rate_index, 3);
  EXPECT_FALSE(f.extensions.width);

  // An unknown tag ends the walk: the blocks after it are not read, and the frame stays valid.
  f = Parse(Header(0xFD, 400, {0x81, 0, 0x0C, 15, 0x99, 0, 0, 0, 0x80, 0, 22, 18}));
  ASSERT_TRUE(f.valid);
  EXPECT_EQ(f.extensions.codec(), VideoCodec::kH265);
  EXPECT_EQ(f.extensions.fps, 15);
  EXPECT_FALSE(f.extensions.width);
  // So does zero padding after the blocks.
  f = Parse(Header(0xFD, 400, {0x81, 0, 2, 30, 0, 0, 0, 0}));
  EXPECT_TRUE(f.valid);
  EXPECT_EQ(f.extensions.fps, 30);
}

TEST(FrameHeader, ExtensionsThatDoNotFit) {
  // An 8-byte 0x82 block in 4 bytes of extension length, a 4-byte block in 2, a block that
  // starts inside the length and ends past it.
  for (const std::vector<uint8_t>& ext :
       std::vector<std::vector<uint8_t>>{{0x82, 0, 0, 0},
                                         {0x81, 0},
                                         {0x81, 0, 2, 25, 0x82, 0, 0, 0},
                                         {0x83, 1, 0x0E, 3, 0x80, 0}}) {
    const FrameHeader f = Parse(Header(0xFD, 400, ext));
    EXPECT_FALSE(f.extensions.fit) << ext.size();
    EXPECT_FALSE(f.valid) << ext.size();
    // The bytes past the extension length are not read as part of the block.
    std::vector<uint8_t> b = Header(0xFD, 400, ext);
    b.resize(b.size() + 8, 0x55);
    EXPECT_FALSE(Parse(b).valid) << ext.size();
  }
  // Extension blocks that reach past the frame's length.
  EXPECT_FALSE(
      Parse(Header(0xFD, 30, {0x81, 0, 2, 25, 0x82, 0, 0, 0, 0x60, 0x01, 0x20, 0x01})).valid);
}

TEST(FrameHeader, CodecNumbers) {
  for (int n : {2, 4, 8})
    EXPECT_EQ(VideoCodecFromNumber(static_cast<uint8_t>(n)), VideoCodec::kH264);
  EXPECT_EQ(VideoCodecFromNumber(0x0C), VideoCodec::kH265);
  EXPECT_EQ(VideoCodecFromNumber(1), VideoCodec::kMpeg4);
  EXPECT_EQ(VideoCodecFromNumber(3), VideoCodec::kMjpeg);
  for (int n : {0, 5, 6, 7, 9, 0x0B, 0x0D, 0xFF}) {
    EXPECT_EQ(VideoCodecFromNumber(static_cast<uint8_t>(n)), VideoCodec::kUnknown) << n;
  }
  EXPECT_STREQ(VideoCodecName(VideoCodec::kH264), "h264");
  EXPECT_STREQ(VideoCodecName(VideoCodec::kH265), "h265");
  EXPECT_STREQ(VideoCodecName(VideoCodec::kMpeg4), "mpeg4");
  EXPECT_STREQ(VideoCodecName(VideoCodec::kMjpeg), "mjpeg");
  EXPECT_EQ(VideoCodecName(VideoCodec::kUnknown), nullptr);
}

// The source may end inside the header or its blocks: the missing bytes read as zeros.
TEST(FrameHeader, SourceEndingInsideTheHeader) {
  const std::vector<uint8_t> whole =
      Header(0xFD, 400, {0x81, 0, 2, 25, 0x82, 0, 0, 0, 0x60, 0x01, 0x20, 0x01});
  for (size_t n : {size_t{0}, size_t{3}, size_t{4}, size_t{5}}) {
    EXPECT_FALSE(ParseFrameHeader(std::span(whole.data(), n)).valid) << n;
  }
  // Before the length field: the length reads as zero.
  EXPECT_FALSE(ParseFrameHeader(std::span(whole.data(), 12)).valid);
  FrameHeader f = ParseFrameHeader(std::span(whole.data(), 16));
  EXPECT_TRUE(f.valid);
  EXPECT_EQ(f.length, 400u);
  EXPECT_EQ(f.extension_length, 0);  // byte 22 is past the end
  // After the first block: the missing ones are zeros, which end the walk.
  f = ParseFrameHeader(std::span(whole.data(), 24 + 4));
  EXPECT_TRUE(f.valid);
  EXPECT_EQ(f.extension_length, 12);
  EXPECT_EQ(f.extensions.fps, 25);
  EXPECT_FALSE(f.extensions.width);
  // Bytes past the header and its blocks are ignored.
  std::vector<uint8_t> longer = whole;
  longer.resize(4096, 0x82);
  f = Parse(longer);
  EXPECT_EQ(f.extensions.width, 352);
  EXPECT_TRUE(f.valid);
}

TEST(FrameHeader, CompleteWhenTheTrailerMatchesTheLength) {
  const FrameHeader f = Parse(Header(0xFD, 400, {0x81, 0, 2, 25}));
  ASSERT_TRUE(f.valid);
  EXPECT_TRUE(IsCompleteFrame(f, Trailer(400)));
  EXPECT_FALSE(IsCompleteFrame(f, Trailer(401)));
  EXPECT_FALSE(IsCompleteFrame(f, Trailer(400 + (1u << 24))));
  std::vector<uint8_t> upper = Trailer(400);
  upper[0] = 'D';
  EXPECT_FALSE(IsCompleteFrame(f, upper));
  // A trailer cut by the source's end.
  const std::vector<uint8_t> t = Trailer(400);
  for (size_t n = 0; n < 8; ++n) EXPECT_FALSE(IsCompleteFrame(f, std::span(t.data(), n))) << n;
  // Only the trailer's 8 bytes count.
  std::vector<uint8_t> more = Trailer(400);
  more.push_back(0xEE);
  EXPECT_TRUE(IsCompleteFrame(f, more));
  // An invalid frame is never complete, whatever follows it.
  const FrameHeader bad = Parse(Header(0xFE, 400));
  EXPECT_FALSE(IsCompleteFrame(bad, Trailer(400)));
  // From the header's bytes.
  EXPECT_TRUE(IsCompleteFrame(std::span<const uint8_t>(Header(0xF0, 400)), Trailer(400)));
  EXPECT_FALSE(IsCompleteFrame(std::span<const uint8_t>(Header(0xFE, 400)), Trailer(400)));
}

TEST(FrameHeader, ATrailerNeedsRoomAfterTheHeader) {
  // Length 32 holds a header and a trailer; length 24 only a header, so "its trailer" would be
  // its own bytes 16 to 23.
  EXPECT_TRUE(IsCompleteFrame(Parse(Header(0xFC, 32)), Trailer(32)));
  std::vector<uint8_t> b = Header(0xFC, 24);
  const std::vector<uint8_t> t = Trailer(24);
  std::copy(t.begin(), t.end(), b.begin() + 16);
  b[22] = 0;
  const FrameHeader f = Parse(b);
  ASSERT_TRUE(f.valid);
  EXPECT_FALSE(IsCompleteFrame(f, std::span(b.data() + f.TrailerOffset(), 8)));
  // Blocks count too: 24 + 4 + 8 bytes at least.
  EXPECT_FALSE(IsCompleteFrame(Parse(Header(0xFC, 35, {0x81, 0, 2, 25})), Trailer(35)));
  EXPECT_TRUE(IsCompleteFrame(Parse(Header(0xFC, 36, {0x81, 0, 2, 25})), Trailer(36)));
}

}  // namespace
}  // namespace korvane
