// The command line of korvane-scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane::cli {

enum class OutputFormat { kTable, kTsv, kCsv, kJson };

struct Options {
  bool help = false;
  bool version = false;
  bool quiet = false;
  uint64_t offset = 0;
  std::optional<uint64_t> size;
  std::optional<std::string> from;
  std::optional<std::string> to;
  OutputFormat format = OutputFormat::kTable;
  std::string source;
};

struct ParseResult {
  std::optional<Options> options;  // empty on a usage error
  std::string error;               // what is wrong, for the user
};

// args excludes the program name. Accepts "--name value" and "--name=value".
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// A byte count: plain decimal digits, at most 2^63 - 1.
std::optional<uint64_t> ParseByteCount(const std::string& text);

extern const char kUsage[];

}  // namespace korvane::cli
