// SPDX-License-Identifier: GPL-3.0-or-later
// A picture of a recording's channel: its first key frame that decodes (libavcodec), in RGB
// (libswscale), and as a PNG file in the save folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "scan/result.h"
#include "scan/source_reader.h"
#include "video/export.h"

namespace korvane::video {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // rows of width * 3 bytes (R, G, B), top to bottom
};

// Decodes the channel's complete key frames among `frames` (positions, in order) one after the
// other until one gives a picture. Fails (kInternal, "no decodable key frame") when none does,
// kStopped when `stop` is set, or when the source shrank.
Result<RgbImage> DecodeFirstKeyFrame(SourceReader& reader, uint8_t channel,
                                     const std::vector<uint64_t>& frames,
                                     const std::atomic<int>& stop);

// The image as a PNG file's bytes (libavcodec's PNG encoder).
Result<std::vector<uint8_t>> EncodePng(const RgbImage& image);

// Writes a PNG for each item (its file_name, "0.png" or "0-ch1.png") into job.folder with the
// saving rules of the export (never replacing, complete or nothing). job.container is not used;
// no line goes to exports.csv. Each file's frames_written is 1, its width and height those of
// the picture.
ExportResult WriteThumbnails(SourceReader& reader, const ExportJob& job, ExportSink& sink,
                             const std::atomic<int>& stop);

}  // namespace korvane::video
