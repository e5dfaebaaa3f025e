// SPDX-License-Identifier: GPL-3.0-or-later
// The half of video/ that runs FFmpeg's libraries (export.cpp, thumbnail.cpp, bitstream.cpp) is
// built into a module of its own, korvane-video.so, which the programs load the first time they
// export, decode or write a picture (module_loader.cpp): FFmpeg's libraries bring over a hundred
// others with them, and loading and relocating those at start-up cost every run of korvane-scan
// about 25 ms (a scan of a 4 GiB cached image takes 150-300 ms), whether or not it touched video.
//
// Both sides are built from the same tree in the same build, so C++ types cross between them as
// they are; the table's `abi` and `version` refuse a module from any other build of a different
// shape or version.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "scan/result.h"
#include "scan/source_reader.h"
#include "video/export.h"
#include "video/thumbnail.h"

namespace korvane::video {

struct ModuleEntries {
  // These two stay first, whatever else changes: they are read from a module of any build.
  uint64_t abi;
  const char* version;
  ExportResult (*export_recordings)(SourceReader&, const ExportJob&, ExportSink&,
                                    const std::atomic<int>&);
  ExportResult (*write_thumbnails)(SourceReader&, const ExportJob&, ExportSink&,
                                   const std::atomic<int>&);
  Result<RgbImage> (*decode_first_key_frame)(SourceReader&, uint8_t, const std::vector<uint64_t>&,
                                             const std::atomic<int>&);
  Result<std::vector<uint8_t>> (*encode_png)(const RgbImage&);
  void (*quiet_log)();
};

// Changes whenever the layout of what crosses changes (a field added to a job or a result).
inline constexpr uint64_t kModuleAbi =
    (uint64_t{1} << 56) ^ (uint64_t{sizeof(ModuleEntries)} << 48) ^
    (uint64_t{sizeof(ExportJob)} << 36) ^ (uint64_t{sizeof(ExportItem)} << 24) ^
    (uint64_t{sizeof(ExportResult)} << 12) ^ uint64_t { sizeof(ExportedFile) } ^
    (uint64_t{sizeof(Status)} << 6) ^ (uint64_t{sizeof(RgbImage)} << 18);

// The module's one exported function.
inline constexpr char kModuleEntryName[] = "korvane_video_entries";

}  // namespace korvane::video
