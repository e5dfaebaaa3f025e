// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/report_job.h"

#include <chrono>

#include "evidence/case_log.h"
#include "evidence/case_log_run.h"
#include "evidence/sources.h"
#include "report/report.h"
#include "scan/save.h"
#include "scan/save_folder.h"
#include "scan/source_reader.h"
#ifdef KORVANE_REPORT_PICTURES
#include "report/pictures.h"
#endif

namespace korvane::gui {
namespace {

// "2014/3/4" of a window bound (a day's date value), as korvane-scan takes it.
std::string WindowDay(int64_t date_value) {
  const std::string text = FormatUnixSeconds(date_value);  // "YYYY-MM-DD hh:mm:ss"
  return std::to_string(std::stoi(text.substr(0, 4))) + "/" +
         std::to_string(std::stoi(text.substr(5, 2))) + "/" +
         std::to_string(std::stoi(text.substr(8, 2)));
}

}  // namespace

ReportOutcome WriteListReport(const ReportRequest& request, const std::atomic<int>& stop) {
  ReportOutcome outcome;
  try {
    report::ReportInput input;
    input.log = request.log;
    evidence::CaseLog& log = input.log;
    input.clock_offset = request.clock_offset;
    log.clock_offset = request.clock_offset;
    log.source_path = request.source;
    log.source_canonical = CanonicalSourcePath(request.source);
    log.grouping = request.grouping == Grouping::kCamera ? "camera" : "time";
    if (!log.date_window && !request.window.IsOpen()) {
      log.date_window =
          std::make_pair(WindowDay(request.window.start), WindowDay(request.window.end));
    }
    Result<evidence::OpenedSource> opened = evidence::OpenEvidence(request.source);
    if (!opened.ok()) {
      outcome.status = opened.status();
      return outcome;
    }
    log.source = opened->info;
    SourceReader reader(std::move(opened->device));
    log.recordings = request.recordings.size();
    for (const Recording& r : request.recordings) {
      log.frames += r.frames;
      Result<std::vector<SourceRun>> runs = SavedRuns(reader, r, request.window, stop);
      if (!runs.ok()) {
        outcome.status = runs.status();
        return outcome;
      }
      input.recordings.push_back({r, std::move(*runs), {}});
    }
#ifdef KORVANE_REPORT_PICTURES
    std::vector<evidence::LoggedFile> pictures;
    const Status pictured = report::AddPictures(reader, request.source, request.folder,
                                                input.recordings, pictures, stop);
    for (evidence::LoggedFile& f : pictures) {
      f.path = evidence::PathIn(request.folder, f.path);
      log.files.push_back(std::move(f));
    }
    if (pictured.code() == ErrorCode::kStopped) {
      outcome.status = pictured;
      return outcome;
    }
    if (!pictured.ok()) outcome.note = pictured.message();
#endif
    log.ended = evidence::NowUnixSeconds();
    Result<report::WrittenReport> written = report::WriteReport(request.folder, input);
    if (!written.ok()) {
      outcome.status = written.status();
      return outcome;
    }
    outcome.html = written->html;
    outcome.xml = written->xml;
  } catch (...) {
    outcome.status = StatusFromException("the report");
  }
  return outcome;
}

}  // namespace korvane::gui
