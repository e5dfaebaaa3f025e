// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/case_log_window.h"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>

#include "evidence/case_log_run.h"

namespace korvane::gui {
namespace {

const char kNotWrittenText[] = QT_TRANSLATE_NOOP("CaseLogs", "案件日志未能写入 %1:\n%2");

struct Identity {
  std::optional<std::vector<std::string>> command_line;
  std::optional<std::string> examiner;
  std::optional<std::string> case_id;
};

Identity& TheIdentity() {
  static Identity identity;
  return identity;
}

std::vector<std::string> CommandLine() {
  if (TheIdentity().command_line && !TheIdentity().command_line->empty()) {
    return *TheIdentity().command_line;
  }
  std::vector<std::string> args;
  for (const QString& arg : QCoreApplication::arguments()) args.push_back(arg.toStdString());
  if (args.empty()) args.push_back("korvane");
  return args;
}

const char* GroupingName(Grouping grouping) {
  return grouping == Grouping::kCamera ? "camera" : "time";
}

// "2026-12-07T19:15:00Z" as a file name takes: "20261207T191500Z".
std::string NameTime(int64_t unix_seconds) {
  std::string text;
  for (char c : evidence::UtcText(unix_seconds)) {
    if (c != '-' && c != ':') text += c;
  }
  return text;
}

}  // namespace

void SetCaseLogIdentity(std::vector<std::string> command_line, std::optional<std::string> examiner,
                        std::optional<std::string> case_id) {
  TheIdentity() = Identity{std::move(command_line), std::move(examiner), std::move(case_id)};
}

ScanRequest RequestOf(const ScanSettings& settings, const ScanFormTexts& form) {
  ScanRequest request;
  request.source = settings.source;
  request.offset = static_cast<uint64_t>(settings.offset);
  request.size = static_cast<uint64_t>(settings.size);
  if (form.filter) {
    request.date_window =
        std::make_pair(form.start_date.toStdString(), form.end_date.toStdString());
  }
  if (settings.search_mode != 0) request.block_size = static_cast<uint32_t>(settings.block_size);
  return request;
}

evidence::CaseLog CaseLogs::ForReport(Grouping grouping) const {
  evidence::CaseLog log =
      evidence::BeginCaseLog("korvane", KORVANE_VERSION, CommandLine(), request_.source);
  log.examiner = TheIdentity().examiner;
  log.case_id = TheIdentity().case_id;
  log.offset = request_.offset;
  log.size = request_.size;
  log.date_window = request_.date_window;
  log.block_size = request_.block_size;
  log.grouping = GroupingName(grouping);
  log.clock_offset = clock_offset_;
  log.files = written_;
  return log;
}

void CaseLogs::Begin(const std::string& what, const std::string& folder, Grouping grouping) {
  log_ = ForReport(grouping);
  log_->files.clear();
  evidence::DescribeSource(*log_);
  folder_ = folder;
  what_ = what;
}

void CaseLogs::ScanStarted(const ScanRequest& request, const std::string& folder,
                           Grouping grouping) {
  request_ = request;
  written_.clear();
  Begin("scan", folder, grouping);
}

void CaseLogs::JobStarted(const std::string& what, const std::string& source,
                          const std::string& folder, Grouping grouping,
                          const std::vector<Recording>& asked) {
  // The rows came from another scan than the one asked here last: only their source is known.
  if (source != request_.source) {
    request_ = ScanRequest();
    request_.source = source;
  }
  Begin(what, folder, grouping);
  log_->recordings = asked.size();
  for (const Recording& r : asked) log_->frames += r.frames;
}

QString CaseLogs::ScanEnded(const ScanResult& result, const std::vector<Recording>& found) {
  if (!log_ || what_ != "scan") return QString();
  evidence::LogScan(*log_, result, log_->offset, found);
  if (!result.Ran()) {
    log_->messages.push_back(result.status.message());
  } else if (result.unreadable_bytes > 0) {
    log_->messages.push_back(std::to_string(result.unreadable_bytes) +
                             " bytes could not be read and were scanned as zeros");
  }
  if (result.Stopped()) log_->messages.push_back("stopped by the user");
  return Write(evidence::ScanStatus(result, log_->offset));
}

QString CaseLogs::SaveEnded(const SaveResult& result) {
  if (!log_ || what_ != "save") return QString();
  evidence::LogSave(*log_, result);
  log_->unreadable_bytes = result.unreadable_bytes;
  if (result.Stopped()) log_->messages.push_back("stopped by the user");
  return Write(evidence::SaveStatus(result, evidence::kRunOk));
}

QString CaseLogs::ExportEnded(const ExportFinished& end) {
  if (!log_ || what_ != "export") return QString();
  bool listed = false, failed = !end.manifest_error.empty();
  for (const ExportedVideo& f : end.files) {
    const std::string what = f.recording + " channel " + std::to_string(unsigned{f.channel});
    if (!f.exported) {
      if (!f.stopped && !f.no_key_frame) failed = true;
      if (!f.error.empty()) log_->messages.push_back(what + " not exported: " + f.error);
      continue;
    }
    evidence::LoggedFile& logged =
        evidence::LogWrittenFile(*log_, evidence::kExportedFile, end.folder, f.file_name);
    logged.recording = f.recording;
    logged.channel = f.channel;
    logged.position = f.position;
    logged.end_position = f.end_position;
    logged.bytes = f.bytes;
    logged.sha256 = f.sha256;
    listed = listed || f.in_manifest;
  }
  if (listed) evidence::LogListing(*log_, end.folder, "exports.csv");
  if (!end.manifest_error.empty()) log_->messages.push_back(end.manifest_error);
  int status = evidence::kRunOk;
  if (!end.Ran()) {
    log_->messages.push_back("nothing exported: " + end.status.message());
    status = end.status.code() == ErrorCode::kOpenFailed ? evidence::kRunSourceFailed
                                                         : evidence::kRunWriteFailed;
  } else if (end.status.code() == ErrorCode::kStopped) {
    log_->messages.push_back("stopped by the user");
    status = evidence::kRunStopped;
  } else if (failed) {
    status = evidence::kRunWriteFailed;
  }
  return Write(status);
}

QString CaseLogs::Write(int exit_status) {
  evidence::CaseLog log = std::move(*log_);
  log_.reset();
  last_written_.clear();
  evidence::EndCaseLog(log, exit_status);
  for (const evidence::LoggedFile& f : log.files) {
    auto same = std::find_if(written_.begin(), written_.end(),
                             [&](const evidence::LoggedFile& w) { return w.path == f.path; });
    if (same != written_.end()) {
      *same = f;
    } else {
      written_.push_back(f);
    }
  }
  const std::string path =
      evidence::PathIn(folder_, "korvane-log-" + NameTime(log.started) + "-" + what_ + ".json");
  // Never into the source: every file of it counts.
  std::vector<std::string> source_files = {log.source_path};
  if (log.source) source_files = log.source->files;
  Status usable = evidence::CheckCaseLogPath(path, source_files);
  Result<std::string> written = usable.ok()
                                    ? evidence::WriteCaseLog(path, evidence::CaseLogJson(log))
                                    : Result<std::string>(usable);
  if (written.ok()) {
    last_written_ = *written;
    return QString();
  }
  return QCoreApplication::translate("CaseLogs", kNotWrittenText)
      .arg(PathText(folder_), PathText(written.status().message()));
}

}  // namespace korvane::gui
