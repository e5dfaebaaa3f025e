// SPDX-License-Identifier: GPL-3.0-or-later
// The report's pictures: one PNG of each video channel of each recording, beside the page. Built
// only with video export (FFmpeg's libraries); KORVANE_REPORT_PICTURES says so.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "evidence/case_log.h"
#include "report/report.h"
#include "scan/result.h"
#include "scan/source_reader.h"

namespace korvane::report {

// Writes the pictures of `recordings` into `folder` with the thumbnails' rules (never replacing:
// "0.png", "0 (1).png", ...) and names each in its recording's `pictures`; appends the files
// written to `written` (each path the name in `folder`), for the report's list of files. A channel
// without a decodable key frame has no picture, which is no failure. kStopped when `stop` is set; a
// picture that cannot be written is a failure saying so (the others stand and are named, so the
// report can still be written with them).
Status AddPictures(SourceReader& reader, const std::string& source, const std::string& folder,
                   std::vector<ReportRecording>& recordings,
                   std::vector<evidence::LoggedFile>& written, const std::atomic<int>& stop);

}  // namespace korvane::report
