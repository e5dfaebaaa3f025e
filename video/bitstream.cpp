// SPDX-License-Identifier: GPL-3.0-or-later
#include "video/bitstream.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace korvane::video {
namespace {

struct Nal {
  size_t begin = 0;  // first byte after the start code
  size_t end = 0;    // the next start code, or the end
};

std::vector<Nal> SplitNals(std::span<const uint8_t> b) {
  std::vector<Nal> nals;
  size_t i = 0;
  auto next_start = [&](size_t from) -> size_t {  // the position of the next 00 00 01
    for (size_t k = from; k + 3 <= b.size(); ++k) {
      if (b[k] == 0 && b[k + 1] == 0 && b[k + 2] == 1) return k;
    }
    return b.size();
  };
  i = next_start(0);
  while (i < b.size()) {
    const size_t begin = i + 3;
    size_t end = next_start(begin);
    const size_t next = end;
    // The zero before a four-byte start code belongs to it, not to this unit.
    while (end > begin && b[end - 1] == 0) --end;
    nals.push_back({begin, end});
    i = next;
  }
  return nals;
}

int NalType(VideoCodec codec, uint8_t first) {
  return codec == VideoCodec::kH265 ? (first >> 1) & 0x3F : first & 0x1F;
}

bool IsParameterSet(VideoCodec codec, int type) {
  return codec == VideoCodec::kH265 ? (type >= 32 && type <= 34) : (type == 7 || type == 8);
}

}  // namespace

std::vector<uint8_t> ParameterSets(VideoCodec codec, std::span<const uint8_t> access_unit) {
  std::vector<uint8_t> out;
  for (const Nal& n : SplitNals(access_unit)) {
    if (n.end <= n.begin || (access_unit[n.begin] & 0x80) != 0) continue;
    if (!IsParameterSet(codec, NalType(codec, access_unit[n.begin]))) continue;
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), access_unit.begin() + static_cast<ptrdiff_t>(n.begin),
               access_unit.begin() + static_cast<ptrdiff_t>(n.end));
  }
  return out;
}

VideoCodec GuessCodec(std::span<const uint8_t> access_unit) {
  for (const Nal& n : SplitNals(access_unit)) {
    if (n.end < n.begin + 2 || (access_unit[n.begin] & 0x80) != 0) continue;
    const uint8_t a = access_unit[n.begin], b = access_unit[n.begin + 1];
    if ((a & 0x1F) == 7) return VideoCodec::kH264;                    // an H.264 SPS
    if (((a >> 1) & 0x3F) == 32 && b == 1) return VideoCodec::kH265;  // an H.265 VPS
  }
  return VideoCodec::kUnknown;
}

PictureSize SizeFromParameterSets(VideoCodec codec, std::span<const uint8_t> access_unit) {
  PictureSize size;
  const AVCodecID id = codec == VideoCodec::kH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
  AVCodecParserContext* parser = av_parser_init(id);
  AVCodecContext* context = avcodec_alloc_context3(nullptr);
  if (parser && context) {
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    // The parser reads past the end in words: give it padded bytes.
    std::vector<uint8_t> data(access_unit.begin(), access_unit.end());
    data.resize(access_unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    uint8_t* out = nullptr;
    int out_size = 0;
    av_parser_parse2(parser, context, &out, &out_size, data.data(),
                     static_cast<int>(access_unit.size()), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (parser->width > 0 && parser->height > 0 && parser->width <= 65535 &&
        parser->height <= 65535) {
      size.width = static_cast<uint16_t>(parser->width);
      size.height = static_cast<uint16_t>(parser->height);
    }
  }
  avcodec_free_context(&context);
  if (parser) av_parser_close(parser);
  return size;
}

}  // namespace korvane::video
