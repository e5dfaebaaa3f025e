// SPDX-License-Identifier: GPL-3.0-or-later
// korvane-scan's command line on arbitrary arguments (the input split at NUL bytes).
//
// Checks: an accepted command line is complete (a source, --from and --to together) and its
// numbers are in range; written out again in a canonical form it parses to the same options;
// ParseByteCount accepts exactly the decimal numbers up to 2^63 - 1; and the whole command, run
// on a small image in place of the given source, ends with a documented exit status.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/scan_command.h"
#include "datewindow/date_text.h"
#include "fuzz/check.h"
#include "tools/image_builder.h"

namespace {

using korvane::fuzz::Fail;
using namespace korvane::cli;

bool SameOptions(const Options& a, const Options& b) {
  return a.help == b.help && a.version == b.version && a.quiet == b.quiet && a.offset == b.offset &&
         a.size == b.size && a.from == b.from && a.to == b.to && a.format == b.format &&
         a.source == b.source;
}

// Decimal digits only, any number of them, with a value of at most 2^63 - 1.
bool IsByteCount(const std::string& text) {
  if (text.empty()) return false;
  unsigned __int128 value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > INT64_MAX) return false;
  }
  return true;
}

std::vector<std::string> Canonical(const Options& o, const std::string& source) {
  static const char* const kFormats[] = {"table", "tsv", "csv", "json"};
  std::vector<std::string> args = {"--offset", std::to_string(o.offset)};
  if (o.size) args.push_back("--size=" + std::to_string(*o.size));
  if (o.from) args.insert(args.end(), {"--from", *o.from, "--to", *o.to});
  args.insert(args.end(), {"--format", kFormats[static_cast<int>(o.format)]});
  if (o.quiet) args.push_back("-q");
  args.insert(args.end(), {"--", source});
  return args;
}

// A small image in a temporary file, removed when the process ends.
class SmallImage {
 public:
  SmallImage() {
    char name[] = "/tmp/korvane-cli-fuzz-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) Fail("cannot create the image");
    ::close(fd);
    path_ = name;
    korvane::testimage::ImageBuilder image(6000, korvane::testimage::Fill::kNoise, 7);
    image.AddRecording(100, 1393891200, 5, 1, 100);
    image.AddRecording(3000, 1393891200 + 86400, 5, 1, 100);
    std::string error;
    if (!image.WriteTo(path_, &error)) Fail("cannot write the image", error);
  }
  ~SmallImage() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      if (args.size() == 16) break;
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  if (size == 0) args.clear();

  for (const std::string& arg : args) {
    CHECK(ParseByteCount(arg).has_value() == IsByteCount(arg), "'" + arg + "'");
  }

  const korvane::Result<Options> parsed = ParseCommandLine(args);
  if (!parsed.ok()) {
    CHECK(!parsed.status().message().empty());
    return 0;
  }
  const Options& o = *parsed;
  CHECK(o.offset <= INT64_MAX && (!o.size || *o.size <= INT64_MAX));
  if (o.help || o.version) return 0;
  CHECK(!o.source.empty());
  CHECK(o.from.has_value() == o.to.has_value());

  const korvane::Result<Options> again = ParseCommandLine(Canonical(o, o.source));
  CHECK(again.ok() && SameOptions(*again, o), again.status().message());

  static std::FILE* sink = std::fopen("/dev/null", "w");
  const Streams streams{sink, sink, false};
  static const std::atomic<int> kNoStop{0};
  static const SmallImage image;
  const int status = RunScanCommand(Canonical(o, image.path()), streams, kNoStop);
  const bool window_ok = !o.from || korvane::CompareDateText(*o.from, *o.to) > 0;
  CHECK(status == (window_ok ? kExitOk : kExitUsage), "status " + std::to_string(status));
  return 0;
}
