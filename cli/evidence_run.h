// SPDX-License-Identifier: GPL-3.0-or-later
// korvane-scan's evidence options around a scan: the hashes of what was read (--hash), the check
// of an E01 against its stored hashes (--verify) and the case log (--log).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/scan_command.h"
#include "evidence/case_log.h"
#include "evidence/digest.h"
#include "evidence/sources.h"
#include "scan/save.h"
#include "scan/scanner.h"
#include "scan/source_reader.h"
#ifdef KORVANE_HAVE_VIDEO
#include "video/export.h"
#endif

namespace korvane::cli {

inline constexpr int kExitVerifyFailed = 5;

class EvidenceRun {
 public:
  EvidenceRun(const Options& options, const std::vector<std::string>& args, const Streams& streams);

  // Before the scan: a log that cannot be written is a usage error (a message, false).
  bool CheckLog();
  // The source is open: remembers what it is, and gives the job its hashes. A usage error (a
  // message, false) when --verify is given for a source that is not an E01.
  bool Prepare(const evidence::SourceInfo& info, ScanJob& job);
  // What the scan found.
  void Scanned(const ScanResult& result, const ScanJob& job, const std::vector<Recording>& found);
  // What a save wrote (also before a failure or a stop).
  void Saved(const SaveResult& result);
  // A file written by an export or a report.
  void Wrote(evidence::LoggedFile file);
  // The log so far, with the hashes of what was read (they are finished then), for a report.
  evidence::CaseLog ReportLog();
#ifdef KORVANE_HAVE_VIDEO
  // What an export (or, with `thumbnails`, the pictures) of job wrote.
  void Exported(const video::ExportJob& job, const video::ExportResult& result, bool thumbnails);
#endif
  // Something the user was told went wrong.
  void Note(const std::string& message) {
    log_.messages.push_back(message);
  }
  // Compares the E01's stored hashes with those of its media, reading it again when the scan did
  // not read all of it. Returns the exit status after it.
  int Verify(SourceReader& reader, const std::atomic<int>& stop, int code);
  // The run ends with `code`: prints the hashes, writes the case log; returns the exit status.
  int Finish(int code);

 private:
  const Options& options_;
  const Streams& streams_;
  evidence::CaseLog log_;
  std::vector<std::unique_ptr<evidence::RangeHash>> hashes_;  // --hash
  std::vector<std::unique_ptr<evidence::RangeHash>> checks_;  // --verify over the scan
  bool whole_media_ = false;                                  // the scan reads the whole media
  bool scan_completed_ = false;
  bool verified_ = false;  // the verification was carried out
  bool verify_failed_ = false;
  bool log_refused_ = false;
  bool hashes_taken_ = false;             // log_.hashes holds the finished hashes
  std::vector<std::string> hash_errors_;  // hashes that could not be finished

  void TakeHashes();  // the log's path was refused before the scan: nothing to write
};

}  // namespace korvane::cli
