// SPDX-License-Identifier: GPL-3.0-or-later
// The window's report (生成报告): the list as it is shown, as report.html and report.xml in the
// save folder, with a picture of each recording where video is built in. Runs on the worker
// thread. Only in builds with the report (KORVANE_HAVE_REPORT).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "evidence/case_log.h"
#include "scan/recording.h"
#include "scan/result.h"
#include "scan/time_model.h"

namespace korvane::gui {

struct ReportRequest {
  std::string source;                 // what the list was scanned from
  std::string folder;                 // the save folder (checked: it exists, not on the source)
  std::vector<Recording> recordings;  // the rows of the grouping shown, in order
  Grouping grouping = Grouping::kTime;
  DateWindow window;                    // the scan's date window
  evidence::CaseLog log;                // the case details, files written so far (CaseLogs)
  std::optional<int64_t> clock_offset;  // korvane --clock-offset, when given
};

struct ReportOutcome {
  // Ok: both files were written (`html`, `xml`). kStopped: stopped, nothing written. Otherwise
  // why there is no report. `note`: a picture that could not be written (the report stands).
  Status status;
  std::string html;
  std::string xml;
  std::string note;
};

// Writes the report of `request`; reads the source again for the camera rows' byte runs and the
// pictures. Throws nothing.
ReportOutcome WriteListReport(const ReportRequest& request, const std::atomic<int>& stop);

}  // namespace korvane::gui
