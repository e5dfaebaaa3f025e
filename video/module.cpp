// SPDX-License-Identifier: GPL-3.0-or-later
// The entry of korvane-video.so (see module.h).
#include "video/module.h"

namespace {

const korvane::video::ModuleEntries kEntries{
    korvane::video::kModuleAbi,           KORVANE_VERSION,
    &korvane::video::ExportRecordings,    &korvane::video::WriteThumbnails,
    &korvane::video::DecodeFirstKeyFrame, &korvane::video::EncodePng,
    &korvane::video::QuietFfmpegLog,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const korvane::video::ModuleEntries*
korvane_video_entries() {
  return &kEntries;
}
