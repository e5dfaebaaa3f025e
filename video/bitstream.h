// SPDX-License-Identifier: GPL-3.0-or-later
// What the exporter reads from the codec's own bytes: the parameter sets of an H.264 or H.265
// access unit (Annex B: NAL units after 00 00 01 start codes) and the picture size they give.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "scan/frame_header.h"

namespace korvane::video {

// The access unit's parameter sets (H.264: SPS, PPS; H.265: VPS, SPS, PPS) in the order they
// come, each after a 00 00 00 01 start code: the form libavformat turns into avcC / hvcC.
std::vector<uint8_t> ParameterSets(VideoCodec codec, std::span<const uint8_t> access_unit);

// H.264 or H.265 by the parameter sets the access unit holds; kUnknown when it holds neither.
VideoCodec GuessCodec(std::span<const uint8_t> access_unit);

struct PictureSize {
  uint16_t width = 0;
  uint16_t height = 0;
};

// The picture size its sequence parameter set gives (through libavcodec's parser); 0x0 when it
// cannot be read.
PictureSize SizeFromParameterSets(VideoCodec codec, std::span<const uint8_t> access_unit);

}  // namespace korvane::video
