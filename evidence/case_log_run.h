// SPDX-License-Identifier: GPL-3.0-or-later
// A case log filled in from what a run did, the same way for every front end: korvane-scan and
// the window both begin a log, note what was asked, what the scan found and every file written,
// and end it with the run's status. What the front end alone knows (its command line, the form's
// values, how its options map to a grouping) it sets in the CaseLog itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "evidence/case_log.h"
#include "scan/recording.h"
#include "scan/save.h"
#include "scan/scanner.h"

namespace korvane::evidence {

// The exit statuses korvane-scan ends with; a window's log gives its jobs the same ones.
inline constexpr int kRunOk = 0;
inline constexpr int kRunSourceFailed = 1;
inline constexpr int kRunUnreadable = 3;
inline constexpr int kRunWriteFailed = 4;
inline constexpr int kRunStopped = 130;

// Unix seconds now.
int64_t NowUnixSeconds();

// A log begun now by `tool` at `version`, with its command line (the program's name first) and
// this host. `source` as given, and its canonical path.
CaseLog BeginCaseLog(const std::string& tool, const std::string& version,
                     std::vector<std::string> command_line, const std::string& source);

// What the source is (kind, size, files, stored hashes), opened read-only once more to tell;
// left unset when it cannot be opened.
void DescribeSource(CaseLog& log);

// What a scan from `offset` found: the range dealt with, the unreadable bytes, the recordings of
// the grouping the log names and their frames.
void LogScan(CaseLog& log, const ScanResult& result, uint64_t offset,
             const std::vector<Recording>& found);

// The files a save wrote, those written before a failure or a stop too, and recordings.csv when
// the save added lines to it; a file that was not saved, or a save that did not run, as a
// message.
void LogSave(CaseLog& log, const SaveResult& result);

// A file written into `folder` under `file_name`: its entry, for the caller to fill in.
LoggedFile& LogWrittenFile(CaseLog& log, const std::string& kind, const std::string& folder,
                           const std::string& file_name);

// A listing (recordings.csv, exports.csv) in `folder` that the run added lines to. Noted once,
// and hashed as it stands when the log ends.
void LogListing(CaseLog& log, const std::string& folder, const std::string& name);

// The run ends with `exit_status`: the end time, and the listings' sizes and SHA-256.
void EndCaseLog(CaseLog& log, int exit_status);

// The exit status of a scan (as korvane-scan gives it when the scan is all it does).
int ScanStatus(const ScanResult& result, uint64_t offset);
// The exit status after a save, given the status before it.
int SaveStatus(const SaveResult& result, int before);

// `name` in `folder`, as the user gave the folder.
std::string PathIn(const std::string& folder, const std::string& name);

// The SHA-256 (lower-case hex) and size of a file as it stands.
Result<std::pair<std::string, uint64_t>> HashFile(const std::string& path);

}  // namespace korvane::evidence
