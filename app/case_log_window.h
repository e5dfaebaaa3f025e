// SPDX-License-Identifier: GPL-3.0-or-later
// The window's case logs: one for each scan, save and video export, written when the job ends
// into the save folder as "korvane-log-<UTC start>-<scan|save|export>.json" (numbered, never
// replacing a file, when the name exists). They are assembled by evidence/ as korvane-scan's are;
// what is the window's own is here: the form's values as what was asked, and where the log goes.
//
// A job never fails or is refused because of its log. A log that cannot be written (the folder
// is missing or not writable, lies on the source, or the disk is full) is not written, and the
// job's end box says so and why.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/scan_feed.h"
#include "app/scan_form.h"
#include "evidence/case_log.h"
#include "scan/recording.h"
#include "scan/save.h"
#include "scan/scanner.h"

namespace korvane::gui {

// The window's command line (the program's name first) and the examiner and case given on it
// (korvane --examiner NAME --case ID), for every log the window writes. Without a call, the
// logs take the application's arguments and name no examiner or case.
void SetCaseLogIdentity(std::vector<std::string> command_line, std::optional<std::string> examiner,
                        std::optional<std::string> case_id);

// What a scan was asked, from the form.
struct ScanRequest {
  std::string source;
  uint64_t offset = 0;
  uint64_t size = 0;
  std::optional<std::pair<std::string, std::string>> date_window;  // the pickers' texts
  std::optional<uint32_t> block_size;                              // block search
};
ScanRequest RequestOf(const ScanSettings& settings, const ScanFormTexts& form);

class CaseLogs {
 public:
  // A scan begins, its log to go into `folder`, its rows shown in `grouping`.
  void ScanStarted(const ScanRequest& request, const std::string& folder, Grouping grouping);
  // A save or a video export (`what`: "save" or "export") of `asked`, rows of the last scan of
  // `source`.
  void JobStarted(const std::string& what, const std::string& source, const std::string& folder,
                  Grouping grouping, const std::vector<Recording>& asked);
  // korvane --clock-offset, for the logs of the jobs begun after.
  void SetClockOffset(std::optional<int64_t> offset) { clock_offset_ = offset; }
  // The job that was begun did not start: no log.
  void Abandon() { log_.reset(); }

  // The job ended: its log is completed and written. Each returns what the end box should add
  // when the log could not be written, and an empty text when it was (or no job was begun).
  QString ScanEnded(const ScanResult& result, const std::vector<Recording>& found);
  QString SaveEnded(const SaveResult& result);
  QString ExportEnded(const ExportFinished& end);

  // The case details for a report of the last scan's rows shown in `grouping`: what that scan
  // was asked, by whom, and every file the saves and exports since it began wrote (a file
  // written again, such as recordings.csv, as it was last). Opens nothing.
  evidence::CaseLog ForReport(Grouping grouping) const;

  // Where the last log was written; empty when it was not.
  const std::string& LastWritten() const { return last_written_; }

 private:
  void Begin(const std::string& what, const std::string& folder, Grouping grouping);
  QString Write(int exit_status);

  ScanRequest request_;  // the last scan's: saves and exports read its source
  std::optional<evidence::CaseLog> log_;
  std::string folder_;
  std::string what_;
  std::string last_written_;
  std::optional<int64_t> clock_offset_;
  std::vector<evidence::LoggedFile> written_;  // by saves and exports since the last scan began
};

}  // namespace korvane::gui
