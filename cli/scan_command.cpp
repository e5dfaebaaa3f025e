#include "cli/scan_command.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <string>

#include "cli/options.h"
#include "datewindow/date_text.h"
#include "scan/frame_search.h"
#include "scan/scanner.h"

namespace korvane::cli {
namespace {

using Clock = std::chrono::steady_clock;

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

std::string HumanBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 5) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.2f %s", bytes, kUnits[unit]);
  return text;
}

std::string Duration(double seconds) {
  const auto s = static_cast<uint64_t>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600,
                  s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
  }
  return text;
}

// Prints each recording as it closes, and the progress line between them.
class PrintingSink final : public ScanSink {
 public:
  PrintingSink(const Options& options, const Streams& streams)
      : format_(options.format),
        streams_(streams),
        progress_(streams.err_is_terminal && !options.quiet) {}

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
  }

  void End() {
    ClearProgress();
    if (format_ == OutputFormat::kJson) std::fputs(rows_ ? "\n]\n" : "]\n", streams_.out);
    std::fflush(streams_.out);
  }

  void OnScanStart(uint64_t total) override {
    started_ = Clock::now();
    last_draw_ = started_;
    (void)total;
  }

  void OnProgress(uint64_t done, uint64_t total) override {
    if (!progress_) return;
    const auto now = Clock::now();
    if (done < total && now - last_draw_ < std::chrono::milliseconds(200)) return;
    last_draw_ = now;
    const double elapsed = std::chrono::duration<double>(now - started_).count();
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    const double percent = total ? 100.0 * static_cast<double>(done) / static_cast<double>(total)
                                 : 100.0;
    std::string left = "--:--";
    if (rate > 0) left = Duration(static_cast<double>(total - done) / rate);
    std::fprintf(streams_.err, "\r\033[K%5.1f%%  %s of %s  %.0f MB/s  %s left", percent,
                 HumanBytes(static_cast<double>(done)).c_str(),
                 HumanBytes(static_cast<double>(total)).c_str(), rate / 1e6, left.c_str());
    std::fflush(streams_.err);
    drawn_ = true;
  }

  void OnRecordingClosed(const Recording& r) override {
    ClearProgress();
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
  void ClearProgress() {
    if (!drawn_) return;
    std::fputs("\r\033[K", streams_.err);
    std::fflush(streams_.err);
    drawn_ = false;
  }

  OutputFormat format_;
  Streams streams_;
  bool progress_;
  Clock::time_point started_{};
  Clock::time_point last_draw_{};
  uint64_t rows_ = 0;
  bool drawn_ = false;
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
  if (options.version) {
    std::fprintf(streams.out, "korvane-scan %s (search kernel: %s)\n", KORVANE_VERSION,
                 SelectedFindMagicName());
    return kExitOk;
  }

  ScanJob job;
  job.source = options.source;
  job.offset = options.offset;
  job.size = options.size;
  if (options.from) {
    if (CompareDateText(*options.from, *options.to) <= 0 ||
        ParseDateWindow(*options.from, *options.to, job.window) == 0) {
      std::fprintf(streams.err, "korvane-scan: 结束日期需要大于开始日期!\n"
                                "(--to must be a later Y/M/D date than --from)\n");
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
    std::fprintf(streams.err, "korvane-scan: stopped after %" PRIu64 " of %" PRIu64 " bytes\n",
                 result.scanned_bytes, result.range_bytes);
    return kExitInterrupted;
  }
  if (result.unreadable_bytes > 0) {
    // Nothing at all could be read: the source failed, not just some sectors of it.
    const uint64_t size = reader->Size();
    const uint64_t existing =
        job.offset < size ? std::min(result.range_bytes, size - job.offset) : 0;
    return result.unreadable_bytes >= existing ? kExitSourceFailed : kExitUnreadable;
  }
  return kExitOk;
}

}  // namespace korvane::cli
