// SPDX-License-Identifier: GPL-3.0-or-later
// korvane-scan --export and --thumbnails: the video channels of the recordings a scan found, as
// MP4 / Matroska files or PNG pictures, with progress and a report on stderr. Built only with
// video export (FFmpeg's libraries).
#pragma once

#include <atomic>
#include <vector>

#include "cli/options.h"
#include "cli/scan_command.h"
#include "scan/recording.h"
#include "scan/source_reader.h"
#include "video/export.h"

namespace korvane::cli {

// Exports (thumbnails == false) or writes the pictures of the recordings of `found` that
// options.select names (all without it). `code` is the command's status so far; returns the
// command's. `job` and `outcome`, when given, receive what was asked and what was written.
int ExportFound(SourceReader& reader, const Options& options, const std::vector<Recording>& found,
                const Streams& streams, const std::atomic<int>& stop, int code, bool thumbnails,
                video::ExportJob* asked = nullptr, video::ExportResult* outcome = nullptr);

}  // namespace korvane::cli
