#include "cli/scan_command.h"

#include <algorithm>
#include <cinttypes>
#include <string>

#include "cli/options.h"
#include "cli/progress.h"
#include "cli/save_output.h"
#include "datewindow/date_text.h"
#include "scan/frame_search.h"
#include "scan/save.h"
#include "scan/scanner.h"

namespace korvane::cli {
namespace {

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Prints each recording as it closes, and the progress line between them.
class PrintingSink final : public ScanSink {
 public:
  PrintingSink(const Options& options, const Streams& streams)
      : format_(options.format),
        streams_(streams),
        progress_(streams.err_is_terminal && !options.quiet),
        line_(streams.err, progress_) {}

  void Begin() {
    switch (format_) {
      case OutputFormat::kTable:
        std::fprintf(streams_.out, "%-12s  %-19s  %-19s  %s\n", "name", "start", "end",
                     "position");
        break;
      case OutputFormat::kTsv:
        std::fputs("name\tstart\tend\tposition\n", streams_.out);
        break;
      case OutputFormat::kCsv:
        std::fputs("name,start,end,position\n", streams_.out);
        break;
      case OutputFormat::kJson:
        std::fputs("[", streams_.out);
        break;
    }
    // The source is open and the scan begins: whoever reads the output may know at once.
    std::fflush(streams_.out);
  }

  const std::vector<Recording>& found() const { return found_; }

  void End() {
    line_.Clear();
    if (format_ == OutputFormat::kJson) std::fputs(rows_ ? "\n]\n" : "]\n", streams_.out);
    std::fflush(streams_.out);
  }

  void OnScanStart(uint64_t total) override {
    line_.Start();
    (void)total;
  }

  void OnProgress(uint64_t done, uint64_t total) override { line_.Draw(done, total); }

  void OnRecordingClosed(const Recording& r) override {
    line_.Clear();
    found_.push_back(r);
    const std::string name = r.Name(), start = r.StartText(), end = r.EndText();
    switch (format_) {
      case OutputFormat::kTable:
        std::fprintf(streams_.out, "%-12s  %-19s  %-19s  %" PRIu64 "\n", name.c_str(),
                     start.c_str(), end.c_str(), r.position);
        break;
      case OutputFormat::kTsv:
      case OutputFormat::kCsv: {
        const char sep = format_ == OutputFormat::kTsv ? '\t' : ',';
        std::fprintf(streams_.out, "%s%c%s%c%s%c%" PRIu64 "\n", name.c_str(), sep, start.c_str(),
                     sep, end.c_str(), sep, r.position);
        break;
      }
      case OutputFormat::kJson:
        std::fprintf(streams_.out,
                     "%s\n  {\"name\": %s, \"start\": %s, \"end\": %s, \"position\": %" PRIu64
                     ", \"end_position\": %" PRIu64 ", \"frames\": %" PRIu64 "}",
                     rows_ ? "," : "", JsonString(name).c_str(), JsonString(start).c_str(),
                     JsonString(end).c_str(), r.position, r.end_position, r.frames);
        break;
    }
    ++rows_;
    if (progress_) std::fflush(streams_.out);
  }

 private:
  OutputFormat format_;
  Streams streams_;
  bool progress_;
  ProgressLine line_;
  std::vector<Recording> found_;
  uint64_t rows_ = 0;
};

}  // namespace

int RunScanCommand(const std::vector<std::string>& args, const Streams& streams,
                   const std::atomic<int>& stop) {
  const ParseResult parsed = ParseCommandLine(args);
  if (!parsed.options) {
    std::fprintf(streams.err, "korvane-scan: %s\nTry 'korvane-scan --help' for more.\n",
                 parsed.error.c_str());
    return kExitUsage;
  }
  const Options& options = *parsed.options;
  if (options.help) {
    std::fputs(kUsage, streams.out);
    return kExitOk;
  }
  if (options.kernel) {
    if (!SelectFindMagic(*options.kernel)) {
      std::fprintf(streams.err, "korvane-scan: --kernel %s: not a kernel this CPU runs (it runs: %s)\n",
                   options.kernel->c_str(), SupportedFindMagicNames().c_str());
      return kExitUsage;
    }
  } else if (const std::string problem = FindMagicOverrideProblem(); !problem.empty()) {
    std::fprintf(streams.err, "korvane-scan: %s\n", problem.c_str());
    return kExitUsage;
  }
  if (options.version) {
    const unsigned workers = options.workers ? options.workers : DefaultScanWorkers();
    std::fprintf(streams.out,
                 "korvane-scan %s (search kernel: %s; this CPU runs: %s; workers: %u)\n",
                 KORVANE_VERSION, SelectedFindMagicName(), SupportedFindMagicNames().c_str(),
                 workers);
    std::fprintf(streams.out,
                 "License GPL-3.0-or-later: free software, you may change and share it; there is "
                 "NO WARRANTY.\n");
    return kExitOk;
  }

  ScanJob job;
  job.source = options.source;
  job.offset = options.offset;
  job.size = options.size;
  job.workers = options.workers;
  if (options.from) {
    if (CompareDateText(*options.from, *options.to) <= 0 ||
        ParseDateWindow(*options.from, *options.to, job.window) == 0) {
      std::fprintf(streams.err, "korvane-scan: 结束日期需要大于开始日期!\n"
                                "(--to must be a later Y/M/D date than --from)\n");
      return kExitUsage;
    }
  }

  if (options.save_dir) {
    // A folder that cannot take the files is a mistake to report before a long scan.
    std::string why;
    if (!CheckSaveFolder(*options.save_dir, &why, options.source)) {
      std::fprintf(streams.err, "korvane-scan: --save: %s\nTry 'korvane-scan --help' for more.\n",
                   why.c_str());
      return kExitUsage;
    }
  }

  PrintingSink sink(options, streams);
  // Refuse an unopenable source before printing any header.
  std::string error;
  auto reader = SourceReader::Open(job.source, &error);
  if (!reader) {
    std::fprintf(streams.err, "korvane-scan: %s\n", error.c_str());
    return kExitSourceFailed;
  }
  sink.Begin();
  const ScanResult result = ScanSource(*reader, job, sink, stop);
  sink.End();

  if (result.status == ScanStatus::kNoMemory) {
    std::fprintf(streams.err, "korvane-scan: %s\n", result.error.c_str());
    return kExitSourceFailed;
  }
  if (result.unreadable_bytes > 0) {
    std::fprintf(streams.err,
                 "korvane-scan: warning: %" PRIu64 " bytes could not be read (%s) and were "
                 "scanned as zeros\n",
                 result.unreadable_bytes, result.error.c_str());
  }
  if (result.status == ScanStatus::kStopped) {
    std::fprintf(streams.err, "korvane-scan: stopped after %" PRIu64 " of %" PRIu64 " bytes%s\n",
                 result.scanned_bytes, result.range_bytes,
                 options.save_dir ? "; nothing saved" : "");
    return kExitInterrupted;
  }
  int code = kExitOk;
  if (result.unreadable_bytes > 0) {
    // Nothing at all could be read: the source failed, not just some sectors of it.
    const uint64_t size = reader->Size();
    const uint64_t existing =
        job.offset < size ? std::min(result.range_bytes, size - job.offset) : 0;
    code = result.unreadable_bytes >= existing ? kExitSourceFailed : kExitUnreadable;
  }
  if (!options.save_dir || code == kExitSourceFailed) return code;
  return SaveFound(*reader, options, sink.found(), streams, stop, code);
}

}  // namespace korvane::cli
