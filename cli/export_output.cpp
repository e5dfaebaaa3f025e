// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/export_output.h"

#include <cinttypes>
#include <iterator>
#include <string>

#include "cli/progress.h"
#include "video/export.h"
#include "video/frames.h"
#include "video/thumbnail.h"

namespace korvane::cli {
namespace {

class ReportingSink final : public video::ExportSink {
 public:
  ReportingSink(const Options& options, const Streams& streams, size_t files, bool thumbnails)
      : streams_(streams),
        files_(files),
        thumbnails_(thumbnails),
        line_(streams.err, streams.err_is_terminal && !options.quiet, streams.err_columns) {}

  void OnExportStart(uint64_t total, size_t files) override {
    (void)total, (void)files;
    line_.Start();
  }
  void OnFileStart(const video::ExportItem& item, size_t number) override {
    label_ = (thumbnails_ ? "picture " : "exporting ") + item.file_name + " (" +
             std::to_string(number + 1) + " of " + std::to_string(files_) + ")  ";
  }
  void OnProgress(uint64_t done, uint64_t total) override {
    if (!thumbnails_) line_.Draw(done, total, label_);
  }
  void OnFileDone(const video::ExportedFile& f) override {
    line_.Clear();
    const std::string what =
        f.recording_name + " channel " + std::to_string(static_cast<unsigned>(f.channel));
    if (f.outcome == FileOutcome::kSaved && thumbnails_) {
      std::fprintf(streams_.err, "korvane-scan: picture of %s saved as '%s' (%ux%u)\n",
                   what.c_str(), f.file_name.c_str(), unsigned{f.width}, unsigned{f.height});
    } else if (f.outcome == FileOutcome::kSaved) {
      std::fprintf(streams_.err,
                   "korvane-scan: exported %s as '%s' (%s %ux%u, %" PRIu64 " frames, %" PRIu64
                   " skipped",
                   what.c_str(), f.file_name.c_str(), f.codec.c_str(), unsigned{f.width},
                   unsigned{f.height}, f.frames_written, f.frames_skipped);
      if (f.skipped_before_key > 0) {
        std::fprintf(streams_.err,
                     ": %" PRIu64 " before the first key frame, %" PRIu64
                     " incomplete or unreadable",
                     f.skipped_before_key, f.frames_skipped - f.skipped_before_key);
      }
      if (f.audio_written > 0) {
        std::fprintf(streams_.err, "; %" PRIu64 " audio frames", f.audio_written);
      }
      if (f.audio_left_out > 0) {
        std::fprintf(streams_.err, "; %" PRIu64 " audio frames left out", f.audio_left_out);
      }
      std::fprintf(streams_.err, "; %" PRIu64 " bytes)\n", f.bytes);
      if (!f.error.empty()) {
        std::fprintf(streams_.err, "korvane-scan: warning: %s: %s\n", f.file_name.c_str(),
                     f.error.c_str());
      }
    } else if (f.no_picture) {
      std::fprintf(streams_.err, "korvane-scan: note: %s: nothing %s: %s\n", what.c_str(),
                   thumbnails_ ? "pictured" : "exported", f.error.c_str());
    } else if (f.outcome == FileOutcome::kFailed) {
      std::fprintf(streams_.err, "korvane-scan: %s not %s: %s\n", what.c_str(),
                   thumbnails_ ? "pictured" : "exported", f.error.c_str());
    }
  }

 private:
  Streams streams_;
  size_t files_;
  bool thumbnails_;
  ProgressLine line_;
  std::string label_;
};

}  // namespace

int ExportFound(SourceReader& reader, const Options& options, const std::vector<Recording>& found,
                const Streams& streams, const std::atomic<int>& stop, int code, bool thumbnails,
                video::ExportJob* asked, video::ExportResult* outcome) {
  const char* option = thumbnails ? "--thumbnails" : "--export";
  if (options.select && options.select->Highest() >= found.size()) {
    std::fprintf(streams.err,
                 "korvane-scan: --select names %" PRIu64
                 ".dav, but the scan found %s; nothing %s\n",
                 options.select->Highest(),
                 found.empty() ? "no recordings" : ("only 0.dav to " + found.back().Name()).c_str(),
                 thumbnails ? "pictured" : "exported");
    return kExitUsage;
  }
  video::ExportJob job;
  job.source = options.source;
  job.folder = thumbnails ? *options.thumbnails_dir : *options.export_dir;
  job.container = options.export_format.value_or("mp4") == "mkv" ? video::Container::kMkv
                                                                 : video::Container::kMp4;
  const std::string extension = thumbnails ? "png" : video::ContainerExtension(job.container);
  for (const Recording& r : found) {
    if (options.select && !options.select->Contains(r.index)) continue;
    Result<std::vector<video::ChannelFrames>> channels =
        video::FindChannelFrames(reader, r.position, r.end_position, stop);
    if (!channels.ok()) {
      if (channels.status().code() == ErrorCode::kStopped) {
        std::fprintf(streams.err, "korvane-scan: stopped\n");
        return kExitInterrupted;
      }
      std::fprintf(streams.err, "korvane-scan: %s not %s: %s\n", r.Name().c_str(),
                   thumbnails ? "pictured" : "exported", channels.status().message().c_str());
      code = kExitSaveFailed;
      continue;
    }
    std::vector<video::ExportItem> items =
        video::RecordingItems(r, std::move(*channels), extension);
    for (video::ExportItem& item : items) item.clock_offset = options.clock_offset.value_or(0);
    if (items.empty()) {
      std::fprintf(streams.err, "korvane-scan: %s holds no video frames; nothing %s\n",
                   r.Name().c_str(), thumbnails ? "pictured" : "exported");
      continue;
    }
    std::move(items.begin(), items.end(), std::back_inserter(job.items));
  }
  if (job.items.empty()) return code;

  ReportingSink sink(options, streams, job.items.size(), thumbnails);
  if (asked) *asked = job;
  const video::ExportResult result = thumbnails ? video::WriteThumbnails(reader, job, sink, stop)
                                                : video::ExportRecordings(reader, job, sink, stop);
  if (outcome) *outcome = result;
  if (!result.Ran()) {
    std::fprintf(streams.err, "korvane-scan: %s: nothing written: %s\n", option,
                 result.status.message().c_str());
    return kExitSaveFailed;
  }
  std::fprintf(streams.err, "korvane-scan: %s %" PRIu64 " of %zu files (%s) to '%s'%s%s\n",
               thumbnails ? "wrote" : "exported", result.exported_files, job.items.size(),
               HumanBytes(static_cast<double>(result.exported_bytes)).c_str(), job.folder.c_str(),
               result.no_picture_files ? "; some channels have no key frame to show" : "",
               result.failed_files ? "; some could not be written" : "");
  if (!result.manifest_error.empty()) {
    std::fprintf(streams.err, "korvane-scan: %s\n", result.manifest_error.c_str());
  }
  if (result.Stopped()) {
    std::fprintf(streams.err, "korvane-scan: stopped; the file being written was removed\n");
    return kExitInterrupted;
  }
  if (result.failed_files > 0 || !result.manifest_error.empty()) return kExitSaveFailed;
  return code;
}

}  // namespace korvane::cli
