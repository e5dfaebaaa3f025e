#include "cli/scan_command.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "cli/options.h"
#include "cli/progress.h"
#include "cli/save_output.h"
#ifdef KORVANE_HAVE_VIDEO
#include "cli/export_output.h"
#endif
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

// Why the list cannot be written, when a write to it (whose result was `written`) failed.
Status OutputStatus(const Streams& streams, bool written) {
  if (written && !std::ferror(streams.out)) return Status::Ok();
  const int err = errno;
  return Status::Error(ErrorCode::kWriteFailed,
                       "cannot write the list to " + streams.out_name + ": " + std::strerror(err));
}

// Prints each recording as it closes, and the progress line between them. A write that fails
// ends the scan (the list would be incomplete).
class PrintingSink final : public ScanSink {
 public:
  PrintingSink(const Options& options, const Streams& streams)
      : format_(options.format),
        streams_(streams),
        progress_(streams.err_is_terminal && !options.quiet),
        line_(streams.err, progress_, streams.err_columns) {}

  Status Begin() {
    int n = 0;
    switch (format_) {
      case OutputFormat::kTable:
        n = std::fprintf(streams_.out, "%-12s  %-19s  %-19s  %s\n", "name", "start", "end",
                         "position");
        break;
      case OutputFormat::kTsv:
        n = std::fputs("name\tstart\tend\tposition\n", streams_.out);
        break;
      case OutputFormat::kCsv:
        n = std::fputs("name,start,end,position\n", streams_.out);
        break;
      case OutputFormat::kJson:
        n = std::fputs("[", streams_.out);
        break;
    }
    // The source is open and the scan begins: whoever reads the output may know at once.
    return OutputStatus(streams_, n >= 0 && std::fflush(streams_.out) == 0);
  }

  const std::vector<Recording>& found() const { return found_; }

  Status End() {
    line_.Clear();
    int n = 0;
    if (format_ == OutputFormat::kJson) n = std::fputs(rows_ ? "\n]\n" : "]\n", streams_.out);
    return OutputStatus(streams_, n >= 0 && std::fflush(streams_.out) == 0);
  }

  void ClearProgress() { line_.Clear(); }

  Status OnScanStart(uint64_t total) override {
    line_.Start();
    (void)total;
    return Status::Ok();
  }

  Status OnProgress(uint64_t done, uint64_t total) override {
    line_.Draw(done, total);
    return Status::Ok();
  }

  Status OnRecordingClosed(const Recording& r) override {
    line_.Clear();
    found_.push_back(r);
    const std::string name = r.Name(), start = r.StartText(), end = r.EndText();
    int n = 0;
    switch (format_) {
      case OutputFormat::kTable:
        n = std::fprintf(streams_.out, "%-12s  %-19s  %-19s  %" PRIu64 "\n", name.c_str(),
                         start.c_str(), end.c_str(), r.position);
        break;
      case OutputFormat::kTsv:
      case OutputFormat::kCsv: {
        const char sep = format_ == OutputFormat::kTsv ? '\t' : ',';
        n = std::fprintf(streams_.out, "%s%c%s%c%s%c%" PRIu64 "\n", name.c_str(), sep,
                         start.c_str(), sep, end.c_str(), sep, r.position);
        break;
      }
      case OutputFormat::kJson:
        n = std::fprintf(streams_.out,
                         "%s\n  {\"name\": %s, \"start\": %s, \"end\": %s, \"position\": %" PRIu64
                         ", \"end_position\": %" PRIu64 ", \"frames\": %" PRIu64 "}",
                         rows_ ? "," : "", JsonString(name).c_str(), JsonString(start).c_str(),
                         JsonString(end).c_str(), r.position, r.end_position, r.frames);
        break;
    }
    ++rows_;
    if (n >= 0 && progress_) n = std::fflush(streams_.out);
    return OutputStatus(streams_, n >= 0);
  }

 private:
  OutputFormat format_;
  Streams streams_;
  bool progress_;
  ProgressLine line_;
  std::vector<Recording> found_;
  uint64_t rows_ = 0;
};

// Says once, before the scan, when the range reaches past the end of the source: only the bytes
// the source holds are read (and counted by the progress line).
void NoteRangePastTheEnd(const ScanJob& job, uint64_t source_size, const Streams& streams) {
  if (job.offset >= source_size && (job.offset > source_size || job.size.value_or(0) > 0)) {
    std::fprintf(streams.err,
                 "korvane-scan: --offset %" PRIu64
                 " is %s the end of the source, which ends "
                 "at byte %" PRIu64 "; there is nothing to scan\n",
                 job.offset, job.offset == source_size ? "at" : "past", source_size);
  } else if (job.size && *job.size > source_size - job.offset) {
    std::fprintf(streams.err,
                 "korvane-scan: the range runs past the end of the source, which ends at byte "
                 "%" PRIu64 "; only the bytes up to there are scanned\n",
                 source_size);
  }
}

}  // namespace

int RunScanCommand(const std::vector<std::string>& args, const Streams& streams,
                   const std::atomic<int>& stop) {
  const Result<Options> parsed = ParseCommandLine(args);
  if (!parsed.ok()) {
    std::fprintf(streams.err, "korvane-scan: %s\nTry 'korvane-scan --help' for more.\n",
                 parsed.status().message().c_str());
    return kExitUsage;
  }
  const Options& options = *parsed;
  if (options.help) {
    std::fputs(kUsage, streams.out);
    return kExitOk;
  }
  if (options.kernel) {
    if (!SelectFindMagic(*options.kernel)) {
      std::fprintf(streams.err,
                   "korvane-scan: --kernel %s: not a kernel this CPU runs (it runs: %s)\n",
                   options.kernel->c_str(), SupportedFindMagicNames().c_str());
      return kExitUsage;
    }
  } else if (const std::string problem = FindMagicOverrideProblem(); !problem.empty()) {
    std::fprintf(streams.err, "korvane-scan: %s\n", problem.c_str());
    return kExitUsage;
  }
  if (options.version) {
    const unsigned threads = options.scan_threads ? options.scan_threads : DefaultScanThreads();
    std::fprintf(
        streams.out, "korvane-scan %s (search kernel: %s; this CPU runs: %s; workers: %u)\n",
        KORVANE_VERSION, SelectedFindMagicName(), SupportedFindMagicNames().c_str(), threads);
    return kExitOk;
  }

#ifndef KORVANE_HAVE_VIDEO
  if (options.export_dir || options.thumbnails_dir) {
    std::fprintf(streams.err,
                 "korvane-scan: %s is not available in this build (it was built without "
                 "FFmpeg's libraries)\n",
                 options.export_dir ? "--export" : "--thumbnails");
    return kExitUsage;
  }
#endif

  ScanJob job;
  job.source = options.source;
  job.offset = options.offset;
  job.size = options.size;
  job.threads = options.scan_threads;
  if (options.from) {
    if (CompareDateText(*options.from, *options.to) <= 0 ||
        ParseDateWindow(*options.from, *options.to, job.window) == 0) {
      std::fprintf(streams.err,
                   "korvane-scan: 结束日期需要大于开始日期!\n"
                   "(--to must be a later Y/M/D date than --from)\n");
      return kExitUsage;
    }
  }

  // A folder that cannot take the files is a mistake to report before a long scan.
  for (const auto& [option, dir] :
       {std::pair{"--save", &options.save_dir}, std::pair{"--export", &options.export_dir},
        std::pair{"--thumbnails", &options.thumbnails_dir}}) {
    if (!*dir) continue;
    const Status usable = CheckSaveFolder(**dir, options.source);
    if (!usable.ok()) {
      std::fprintf(streams.err, "korvane-scan: %s: %s\nTry 'korvane-scan --help' for more.\n",
                   option, usable.message().c_str());
      return kExitUsage;
    }
  }

  PrintingSink sink(options, streams);
  // Refuse an unopenable source before printing any header.
  auto opened = SourceReader::Open(job.source);
  if (!opened.ok()) {
    std::fprintf(streams.err, "korvane-scan: %s\n", opened.status().message().c_str());
    return kExitSourceFailed;
  }
  SourceReader& reader = **opened;
  if (Status begun = sink.Begin(); !begun.ok()) {
    std::fprintf(streams.err, "korvane-scan: %s\n", begun.message().c_str());
    return kExitSourceFailed;
  }
  NoteRangePastTheEnd(job, reader.Size(), streams);
  ScanResult result = ScanSource(reader, job, sink, stop);
  if (result.status.code() == ErrorCode::kWriteFailed) {
    sink.ClearProgress();  // the list is broken; nothing more goes to it
  } else if (Status ended = sink.End(); !ended.ok() && result.Ran()) {
    result.status = std::move(ended);
  }

  const bool writes_any = options.save_dir || options.export_dir || options.thumbnails_dir;
  if (!result.Ran()) {
    std::fprintf(streams.err, "korvane-scan: %s%s\n", result.status.message().c_str(),
                 writes_any ? "; nothing saved" : "");
    return kExitSourceFailed;
  }
  if (result.shrunk_to) {
    std::fprintf(streams.err,
                 "korvane-scan: warning: the source shrank to %" PRIu64
                 " bytes during the scan; "
                 "the bytes it no longer holds were scanned as zeros\n",
                 *result.shrunk_to);
  }
  if (result.unreadable_bytes > 0) {
    const std::string why = result.read_error.empty()
                                ? (result.shrunk_to ? " (the source shrank)" : "")
                                : " (" + result.read_error + ")";
    std::fprintf(streams.err,
                 "korvane-scan: warning: %" PRIu64
                 " bytes could not be read%s and were "
                 "scanned as zeros\n",
                 result.unreadable_bytes, why.c_str());
  }
  if (result.Stopped()) {
    std::fprintf(streams.err, "korvane-scan: stopped after %" PRIu64 " of %" PRIu64 " bytes%s\n",
                 result.scanned_bytes, result.range_bytes, writes_any ? "; nothing saved" : "");
    return kExitInterrupted;
  }
  int code = kExitOk;
  if (result.unreadable_bytes > 0) {
    // Nothing at all could be read: the source failed, not just some sectors of it.
    code = result.unreadable_bytes >= result.ReadableBytes(job.offset) ? kExitSourceFailed
                                                                       : kExitUnreadable;
  }
  if (code == kExitSourceFailed) return code;
  if (options.save_dir) code = SaveFound(reader, options, sink.found(), streams, stop, code);
  if (code == kExitInterrupted || code == kExitUsage || !writes_any) return code;
#ifdef KORVANE_HAVE_VIDEO
  if (options.export_dir) {
    code = ExportFound(reader, options, sink.found(), streams, stop, code, false);
    if (code == kExitInterrupted || code == kExitUsage) return code;
  }
  if (options.thumbnails_dir) {
    code = ExportFound(reader, options, sink.found(), streams, stop, code, true);
  }
#endif
  return code;
}

}  // namespace korvane::cli
