// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/scan_command.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "cli/evidence_run.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/save_output.h"
#ifdef KORVANE_HAVE_VIDEO
#include "cli/export_output.h"
#endif
#ifdef KORVANE_HAVE_REPORT
#include "report/report.h"
#ifdef KORVANE_REPORT_PICTURES
#include "report/pictures.h"
#endif
#endif
#include "datewindow/date_text.h"
#include "evidence/case_log_run.h"
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

// json's account of what a recording holds: its channels, valid and complete frames.
std::string JsonContent(const Recording& r) {
  std::string out = ", \"channels\": [";
  for (size_t i = 0; i < r.channels.size(); ++i) {
    const ChannelContent& c = r.channels[i];
    const char* codec = VideoCodecName(c.codec);
    auto number = [](const auto& value) {
      return value ? std::to_string(*value) : std::string("null");
    };
    out += (i ? ", " : "") + std::string("{\"channel\": ") + std::to_string(c.channel) +
           ", \"video_frames\": " + std::to_string(c.video_frames) +
           ", \"key_frames\": " + std::to_string(c.key_frames) +
           ", \"audio_frames\": " + std::to_string(c.audio_frames) +
           ", \"codec\": " + (codec ? JsonString(codec) : "null") +
           ", \"width\": " + number(c.width) + ", \"height\": " + number(c.height) +
           ", \"fps\": " + number(c.fps) + "}";
  }
  return out + "], \"valid_frames\": " + std::to_string(r.valid_frames) +
         ", \"complete_frames\": " + std::to_string(r.complete_frames);
}

// Prints each recording of the chosen grouping as it closes, and the progress line between them.
// The camera grouping's recordings close in any order; each is printed once those before it
// are. A write that fails ends the scan (the list would be incomplete).
class PrintingSink final : public ScanSink {
 public:
  PrintingSink(const Options& options, const Streams& streams)
      : format_(options.format),
        camera_(options.group == GroupOption::kCamera),
        clock_offset_(options.clock_offset),
        streams_(streams),
        progress_(streams.err_is_terminal && !options.quiet),
        line_(streams.err, progress_, streams.err_columns) {}

  Status Begin() {
    int n = 0;
    switch (format_) {
      case OutputFormat::kTable:
        n = camera_ ? std::fprintf(streams_.out, "%-12s  %-7s  %-19s  %-19s  %s\n", "name",
                                   "channel", "start", "end", "position")
                    : std::fprintf(streams_.out, "%-12s  %-19s  %-19s  %s\n", "name", "start",
                                   "end", "position");
        break;
      case OutputFormat::kTsv:
        n = std::fputs(
            camera_ ? "name\tchannel\tstart\tend\tposition\n" : "name\tstart\tend\tposition\n",
            streams_.out);
        break;
      case OutputFormat::kCsv:
        n = std::fputs(camera_ ? "name,channel,start,end,position\n" : "name,start,end,position\n",
                       streams_.out);
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
    return camera_ ? Status::Ok() : Print(r);
  }

  Status OnCameraRecordingClosed(const Recording& r) override {
    if (!camera_) return Status::Ok();
    waiting_.emplace(r.index, r);
    while (!waiting_.empty() && waiting_.begin()->first == found_.size()) {
      const Recording next = std::move(waiting_.begin()->second);
      waiting_.erase(waiting_.begin());
      if (Status printed = Print(next); !printed.ok()) return printed;
    }
    return Status::Ok();
  }

 private:
  Status Print(const Recording& r) {
    line_.Clear();
    found_.push_back(r);
    // With a clock offset every format shows corrected times; json adds the recorder's own.
    const int64_t offset = clock_offset_.value_or(0);
    const std::string name = r.Name(), start = CorrectedText(r.start, offset),
                      end = CorrectedText(r.end, offset);
    const std::string recorder_fields =
        clock_offset_ ? ", \"recorder_start\": " + JsonString(r.StartText()) +
                            ", \"recorder_end\": " + JsonString(r.EndText()) +
                            ", \"clock_offset\": " + JsonString(FormatClockOffset(offset))
                      : std::string();
    const unsigned channel = r.channel.value_or(0);
    int n = 0;
    switch (format_) {
      case OutputFormat::kTable:
        n = camera_ ? std::fprintf(streams_.out, "%-12s  %-7u  %-19s  %-19s  %" PRIu64 "\n",
                                   name.c_str(), channel, start.c_str(), end.c_str(), r.position)
                    : std::fprintf(streams_.out, "%-12s  %-19s  %-19s  %" PRIu64 "\n", name.c_str(),
                                   start.c_str(), end.c_str(), r.position);
        break;
      case OutputFormat::kTsv:
      case OutputFormat::kCsv: {
        const char sep = format_ == OutputFormat::kTsv ? '\t' : ',';
        const std::string channel_field = camera_ ? std::to_string(channel) + sep : std::string();
        n = std::fprintf(streams_.out, "%s%c%s%s%c%s%c%" PRIu64 "\n", name.c_str(), sep,
                         channel_field.c_str(), start.c_str(), sep, end.c_str(), sep, r.position);
        break;
      }
      case OutputFormat::kJson: {
        const std::string channel_field =
            camera_ ? ", \"channel\": " + std::to_string(channel) : std::string();
        n = std::fprintf(
            streams_.out,
            "%s\n  {\"name\": %s%s, \"start\": %s, \"end\": %s%s, \"position\": %" PRIu64
            ", \"end_position\": %" PRIu64 ", \"frames\": %" PRIu64 "%s}",
            rows_ ? "," : "", JsonString(name).c_str(), channel_field.c_str(),
            JsonString(start).c_str(), JsonString(end).c_str(), recorder_fields.c_str(), r.position,
            r.end_position, r.frames, JsonContent(r).c_str());
        break;
      }
    }
    ++rows_;
    if (n >= 0 && progress_) n = std::fflush(streams_.out);
    return OutputStatus(streams_, n >= 0);
  }

  OutputFormat format_;
  bool camera_;
  std::optional<int64_t> clock_offset_;
  Streams streams_;
  bool progress_;
  ProgressLine line_;
  std::vector<Recording> found_;           // printed, in index order
  std::map<uint64_t, Recording> waiting_;  // camera recordings closed before an earlier one
  uint64_t rows_ = 0;
};

// The scan's account on stderr: the matches, how many were not valid frames, and the recordings
// of both groupings.
void PrintSummary(const ScanResult& result, const Streams& streams) {
  std::fprintf(streams.err,
               "korvane-scan: %" PRIu64 " matches of the magic, %" PRIu64
               " of them not valid frames and %" PRIu64 " inside complete frames; %" PRIu64
               " recordings by time, %" PRIu64 " by camera\n",
               result.matches, result.invalid_matches, result.data_matches, result.recordings,
               result.camera_recordings);
}

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

int ScanAndSave(const Options& options, const Streams& streams, const std::atomic<int>& stop,
                EvidenceRun& evidence);

// `name` in `folder`, as the files written are named to the user.
std::string InFolder(const std::string& folder, const std::string& name) {
  const bool separated = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
  return folder + (separated ? "" : "/") + name;
}

#ifdef KORVANE_HAVE_REPORT
// Writes the report of the run (what was found, and every file written so far) into
// options.report_dir, with a picture of each recording where video is built in. `code` is the
// command's status so far; returns the command's.
int WriteRunReport(SourceReader& reader, const Options& options,
                   const std::vector<Recording>& found, const DateWindow& window,
                   const Streams& streams, const std::atomic<int>& stop, int code,
                   EvidenceRun& evidence) {
  const std::string& folder = *options.report_dir;
  auto failed = [&](const std::string& message) {
    std::fprintf(streams.err, "korvane-scan: --report: %s\n", message.c_str());
    evidence.Note("report: " + message);
    return code == kExitOk || code == kExitUnreadable ? kExitSaveFailed : code;
  };
  report::ReportInput input;
  input.clock_offset = options.clock_offset;
  input.recordings.reserve(found.size());
  for (const Recording& r : found) {
    // Where the bytes of each recording lie: a camera recording's frames are spread out.
    Result<std::vector<SourceRun>> runs = SavedRuns(reader, r, window, stop);
    if (!runs.ok() && runs.status().code() == ErrorCode::kStopped) {
      std::fprintf(streams.err, "korvane-scan: stopped; no report written\n");
      evidence.Note("stopped by the user; no report written");
      return kExitInterrupted;
    }
    if (!runs.ok()) return failed("no report written: " + runs.status().message());
    input.recordings.push_back({r, std::move(*runs), {}});
  }
#ifdef KORVANE_REPORT_PICTURES
  std::vector<evidence::LoggedFile> pictures;
  const Status pictured =
      report::AddPictures(reader, options.source, folder, input.recordings, pictures, stop);
  for (evidence::LoggedFile& f : pictures) {
    f.path = InFolder(folder, f.path);
    evidence.Wrote(std::move(f));
  }
  if (pictured.code() == ErrorCode::kStopped) {
    std::fprintf(streams.err, "korvane-scan: stopped; no report written\n");
    evidence.Note("stopped by the user; no report written");
    return kExitInterrupted;
  }
  if (!pictured.ok()) code = failed(pictured.message());
#else
  (void)reader, (void)stop;
#endif
  input.log = evidence.ReportLog();
  const Result<report::WrittenReport> written = report::WriteReport(folder, input);
  if (!written.ok()) {
    return failed("the report could not be written: " + written.status().message());
  }
  std::fprintf(streams.err, "korvane-scan: report written to '%s' and '%s'\n",
               written->html.c_str(), written->xml.c_str());
  // The report's own files, for the chain of custody: hashed as they stand, just written.
  for (const std::string& path : {written->html, written->xml}) {
    const Result<std::pair<std::string, uint64_t>> hashed = evidence::HashFile(path);
    if (!hashed.ok()) {
      evidence.Note("report: " + path + ": not hashed: " + hashed.status().message());
      continue;
    }
    evidence::LoggedFile logged;
    logged.kind = evidence::kReportFile;
    logged.path = path;
    logged.has_range = false;
    logged.sha256 = hashed->first;
    logged.bytes = hashed->second;
    evidence.Wrote(std::move(logged));
  }
  return code;
}
#endif

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
    const std::string e01 = evidence::E01Available() ? "libewf " + evidence::EwfLibraryVersion()
                                                     : std::string("not in this build");
    std::fprintf(streams.out,
                 "korvane-scan %s (search kernel: %s; this CPU runs: %s; workers: %u; E01 images: "
                 "%s)\n",
                 KORVANE_VERSION, SelectedFindMagicName(), SupportedFindMagicNames().c_str(),
                 threads, e01.c_str());
    std::fprintf(streams.out,
                 "License GPL-3.0-or-later: free software, you may change and share it; there is "
                 "NO WARRANTY.\n");
    return kExitOk;
  }

#ifndef KORVANE_HAVE_REPORT
  if (options.report_dir) {
    std::fprintf(streams.err,
                 "korvane-scan: --report is not available in this build (it was built without "
                 "libxml2)\n");
    return kExitUsage;
  }
#endif
#ifndef KORVANE_HAVE_VIDEO
  if (options.export_dir || options.thumbnails_dir) {
    std::fprintf(streams.err,
                 "korvane-scan: %s is not available in this build (it was built without "
                 "FFmpeg's libraries)\n",
                 options.export_dir ? "--export" : "--thumbnails");
    return kExitUsage;
  }
#endif

  EvidenceRun evidence(options, args, streams);
  return evidence.Finish(ScanAndSave(options, streams, stop, evidence));
}

namespace {

int ScanAndSave(const Options& options, const Streams& streams, const std::atomic<int>& stop,
                EvidenceRun& evidence) {
  ScanJob job;
  job.source = options.source;
  job.offset = options.offset;
  job.size = options.size;
  job.threads = options.scan_threads;
  job.read = options.read;
  job.window.clock_offset = options.clock_offset.value_or(0);
  if (options.from) {
    if (CompareDateText(*options.from, *options.to) <= 0 ||
        ParseDateWindow(*options.from, *options.to, job.window) == 0) {
      std::fprintf(streams.err,
                   "korvane-scan: 结束日期需要大于开始日期!\n"
                   "(--to must be a later Y/M/D date than --from)\n");
      evidence.Note("结束日期需要大于开始日期!");
      return kExitUsage;
    }
  }

  // A folder that cannot take the files is a mistake to report before a long scan.
  for (const auto& [option, dir] :
       {std::pair{"--save", &options.save_dir}, std::pair{"--export", &options.export_dir},
        std::pair{"--thumbnails", &options.thumbnails_dir},
        std::pair{"--report", &options.report_dir}}) {
    if (!*dir) continue;
    const Status usable = CheckSaveFolder(**dir, options.source);
    if (!usable.ok()) {
      std::fprintf(streams.err, "korvane-scan: %s: %s\nTry 'korvane-scan --help' for more.\n",
                   option, usable.message().c_str());
      evidence.Note(std::string(option) + ": " + usable.message());
      return kExitUsage;
    }
  }
  if (!evidence.CheckLog()) return kExitUsage;

  PrintingSink sink(options, streams);
  // Refuse an unopenable source before printing any header.
  Result<evidence::OpenedSource> opened = evidence::OpenEvidence(job.source);
  if (!opened.ok()) {
    std::fprintf(streams.err, "korvane-scan: %s\n", opened.status().message().c_str());
    evidence.Note(opened.status().message());
    return kExitSourceFailed;
  }
  if (!evidence.Prepare(opened->info, job)) return kExitUsage;
  SourceReader reader(std::move(opened->device));
  if (Status begun = sink.Begin(); !begun.ok()) {
    std::fprintf(streams.err, "korvane-scan: %s\n", begun.message().c_str());
    return kExitSourceFailed;
  }
  NoteRangePastTheEnd(job, reader.Size(), streams);
  if (options.clock_offset && streams.err_is_terminal && !options.quiet) {
    std::fprintf(streams.err,
                 "korvane-scan: times corrected by the clock offset %s (the recorder's time "
                 "minus it)\n",
                 FormatClockOffset(*options.clock_offset).c_str());
  }
  ScanResult result = ScanSource(reader, job, sink, stop);
  evidence.Scanned(result, job, sink.found());
  if (result.status.code() == ErrorCode::kWriteFailed) {
    sink.ClearProgress();  // the list is broken; nothing more goes to it
  } else if (Status ended = sink.End(); !ended.ok() && result.Ran()) {
    result.status = std::move(ended);
  }

  const bool writes_any =
      options.save_dir || options.export_dir || options.thumbnails_dir || options.report_dir;
  if (!result.Ran()) {
    std::fprintf(streams.err, "korvane-scan: %s%s\n", result.status.message().c_str(),
                 writes_any ? "; nothing saved" : "");
    evidence.Note(result.status.message());
    return kExitSourceFailed;
  }
  // Where stderr is read by a script, the time grouping's leaves it as it always was.
  if (options.group == GroupOption::kCamera || (streams.err_is_terminal && !options.quiet)) {
    PrintSummary(result, streams);
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
    evidence.Note(std::to_string(result.unreadable_bytes) + " bytes could not be read" + why +
                  " and were scanned as zeros");
  }
  if (result.Stopped()) {
    std::fprintf(streams.err, "korvane-scan: stopped after %" PRIu64 " of %" PRIu64 " bytes%s\n",
                 result.scanned_bytes, result.range_bytes, writes_any ? "; nothing saved" : "");
    evidence.Note("stopped by the user");
    return kExitInterrupted;
  }
  int code = kExitOk;
  if (result.unreadable_bytes > 0) {
    // Nothing at all could be read: the source failed, not just some sectors of it.
    code = result.unreadable_bytes >= result.ReadableBytes(job.offset) ? kExitSourceFailed
                                                                       : kExitUnreadable;
  }
  if (code == kExitSourceFailed) return evidence.Verify(reader, stop, code);
  if (options.save_dir) {
    SaveResult saved;
    code = SaveFound(reader, options, sink.found(), job.window, streams, stop, code, &saved);
    evidence.Saved(saved);
  }
  if (code == kExitInterrupted || code == kExitUsage) return code;
#ifdef KORVANE_HAVE_VIDEO
  for (const bool thumbnails : {false, true}) {
    if (!(thumbnails ? options.thumbnails_dir : options.export_dir)) continue;
    video::ExportJob asked;
    video::ExportResult exported;
    code = ExportFound(reader, options, sink.found(), streams, stop, code, thumbnails, &asked,
                       &exported);
    evidence.Exported(asked, exported, thumbnails);
    if (code == kExitInterrupted || code == kExitUsage) return code;
  }
#endif
#ifdef KORVANE_HAVE_REPORT
  if (options.report_dir) {
    code = WriteRunReport(reader, options, sink.found(), job.window, streams, stop, code, evidence);
    if (code == kExitInterrupted) return code;
  }
#endif
  return evidence.Verify(reader, stop, code);
}

}  // namespace

}  // namespace korvane::cli
