// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of korvane-scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "evidence/digest.h"
#include "scan/result.h"
#include "scan/scanner.h"

namespace korvane::cli {

enum class OutputFormat { kTable, kTsv, kCsv, kJson };

// Which grouping of the frames the list shows (--group).
enum class GroupOption { kTime, kCamera };

// The recordings --select names: ranges of recording numbers, both ends included.
struct Selection {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  bool Contains(uint64_t index) const;
  uint64_t Highest() const;
};

// Parses "0,3,5-9" or "0.dav,2.dav": numbers, ranges of numbers and file names, separated by
// commas. kUsage, saying what is wrong, when the text is not such a list.
Result<Selection> ParseSelection(const std::string& text);

struct Options {
  bool help = false;
  bool version = false;
  bool quiet = false;
  uint64_t offset = 0;
  std::optional<uint64_t> size;
  std::optional<std::string> from;
  std::optional<std::string> to;
  // --clock-offset: seconds the recorder's clock was ahead of the true time (behind when
  // negative). Unset: every time is the recorder's own, as it always was.
  std::optional<int64_t> clock_offset;
  OutputFormat format = OutputFormat::kTable;
  GroupOption group = GroupOption::kTime;
  std::optional<std::string> save_dir;        // --save DIR
  std::optional<std::string> export_format;   // --export FORMAT DIR: "mp4" or "mkv"
  std::optional<std::string> export_dir;      //
  std::optional<std::string> thumbnails_dir;  // --thumbnails DIR
  std::optional<std::string> report_dir;      // --report DIR
  std::optional<Selection> select;            // --select LIST; all found recordings when unset
  std::optional<std::string> kernel;          // search kernel by name
  unsigned scan_threads = 0;  // --workers: threads reading and searching; 0: one per processor
  ReadMethod read = ReadMethod::kAuto;  // --read mmap|pread
  std::string source;

  // Evidence: hashes of what was read, verification of an E01, the case log.
  std::vector<evidence::DigestKind> hashes;  // --hash md5,sha1,sha256
  bool verify = false;                       // --verify
  std::optional<std::string> log_file;       // --log FILE
  std::optional<std::string> examiner;       // --examiner NAME
  std::optional<std::string> case_id;        // --case ID
};

// args excludes the program name. Accepts "--name value" and "--name=value". A usage error is
// kUsage, saying what is wrong.
Result<Options> ParseCommandLine(const std::vector<std::string>& args);

// A byte count: plain decimal digits, at most 2^63 - 1.
std::optional<uint64_t> ParseByteCount(const std::string& text);

extern const char kUsage[];

}  // namespace korvane::cli
