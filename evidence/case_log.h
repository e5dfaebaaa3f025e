// SPDX-License-Identifier: GPL-3.0-or-later
// The case log: a JSON record of one run, for the chain of custody. What was read (the source,
// the range, the hashes of what was read), how (the command line, the tool's version, the date
// window, the grouping), by whom and where (examiner, case, host), when (start and end, UTC),
// what came of it (counts, unreadable bytes, the files written with their SHA-256) and how the
// run ended (its exit status).
//
// A log is written once, when the run ends, also after a stop or a failure. It never replaces a
// file: when the name exists it is numbered like a saved recording ("case.json" becomes
// "case (1).json"), and it appears under its name only when complete and flushed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "evidence/sources.h"
#include "scan/result.h"

namespace korvane::evidence {

// A file the run wrote, as written.
struct LoggedFile {
  std::string kind;       // kSavedFile, kExportedFile, kPictureFile, kReportFile or kListingFile
  std::string path;       // where it was written
  std::string recording;  // the recording it holds ("0.dav"); empty for a listing
  std::optional<unsigned> channel;  // the channel it holds, for an exported video or a picture
  bool has_range = true;            // it comes from the source's bytes position to end_position
  uint64_t position = 0;
  uint64_t end_position = 0;
  uint64_t bytes = 0;
  uint64_t unreadable_bytes = 0;
  std::string sha256;
};

inline constexpr char kSavedFile[] = "saved";        // a recording's bytes (--save, 保存)
inline constexpr char kExportedFile[] = "export";    // a channel as a video file
inline constexpr char kPictureFile[] = "thumbnail";  // a channel's first picture
inline constexpr char kReportFile[] = "report";      // report.html, report.xml (--report)
inline constexpr char kListingFile[] = "listing";    // recordings.csv, exports.csv

struct LoggedHash {
  std::string algorithm;  // "md5", "sha1", "sha256"
  std::string hex;
};

struct LoggedVerification {
  std::string algorithm;
  std::string stored;
  std::string computed;
  bool match = false;
};

struct CaseLog {
  std::string tool;
  std::string version;
  std::vector<std::string> command_line;  // the program's name and its arguments
  std::optional<std::string> examiner;
  std::optional<std::string> case_id;
  std::string host;
  int64_t started = 0;  // Unix seconds
  int64_t ended = 0;

  std::optional<SourceInfo> source;  // unset when the source could not be opened
  std::string source_path;           // as given
  std::string source_canonical;      // absolute, resolved

  uint64_t offset = 0;
  std::optional<uint64_t> size;  // as asked; unset: the rest of the source
  uint64_t range_bytes = 0;      // the range's size
  uint64_t scanned_bytes = 0;    // positions dealt with (a stop ends early)
  uint64_t read_bytes = 0;       // bytes read from the source (those it holds)
  std::optional<std::pair<std::string, std::string>> date_window;  // --from, --to as given
  // --clock-offset, in seconds (the recorder's clock was that much ahead); unset: not given, and
  // the log has no clock_offset.
  std::optional<int64_t> clock_offset;
  std::string grouping;
  std::optional<uint32_t> block_size;  // a search of block starts only, in blocks of this size

  bool scanned = false;  // the scan ran (to its end or to a stop)
  uint64_t recordings = 0;
  uint64_t frames = 0;
  uint64_t unreadable_bytes = 0;  // of the range; read as zeros (and hashed as zeros)

  std::vector<LoggedHash> hashes;  // of the bytes read, in order
  uint64_t hashed_bytes = 0;       // how many bytes the hashes cover, from `offset` on

  bool verify_requested = false;
  std::vector<LoggedVerification> verification;
  uint64_t verified_bytes = 0;  // the whole media, when verified
  std::string verify_note;      // why it was not done, when it was not

  std::vector<LoggedFile> files;
  std::vector<std::string> messages;  // what went wrong, as the user was told
  int exit_status = 0;
};

// "2026-12-07T16:39:49Z".
std::string UtcText(int64_t unix_seconds);

// The system's name for this machine; empty when unknown.
std::string HostName();

// The log as JSON text (UTF-8; bytes that are not UTF-8 become U+FFFD), ending in a line break.
std::string CaseLogJson(const CaseLog& log);

// Checks, before the run, that a log can be written to path: its folder exists and can take new
// files, and it does not lie on the source (kUsage, or kRefused, saying why). Creates nothing.
Status CheckCaseLogPath(const std::string& path, const std::vector<std::string>& source_files);

// Writes the log to path, or to its first free numbered name; returns the path written.
Result<std::string> WriteCaseLog(const std::string& path, const std::string& json);

}  // namespace korvane::evidence
