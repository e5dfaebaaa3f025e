// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/report_job.h"

#include <chrono>

#include "evidence/case_log.h"
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

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

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
    evidence::CaseLog& log = input.log;
    input.clock_offset = request.clock_offset;
    log.clock_offset = request.clock_offset;
    log.tool = "korvane";
    log.version = KORVANE_VERSION;
    log.command_line = request.command_line;
    log.host = evidence::HostName();
    log.started = Now();
    log.source_path = request.source;
    log.source_canonical = CanonicalSourcePath(request.source);
    log.grouping = request.grouping == Grouping::kCamera ? "camera" : "time";
    if (!request.window.IsOpen()) {
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
    const Status pictured = report::AddPictures(reader, request.source, request.folder,
                                                input.recordings, log.files, stop);
    for (evidence::LoggedFile& f : log.files) {
      const bool separated = request.folder.ends_with('/') || request.folder.ends_with('\\');
      f.path = request.folder + (separated ? "" : "/") + f.path;
    }
    if (pictured.code() == ErrorCode::kStopped) {
      outcome.status = pictured;
      return outcome;
    }
    if (!pictured.ok()) outcome.note = pictured.message();
#endif
    log.ended = Now();
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
