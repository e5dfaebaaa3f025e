// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/save_output.h"

#include <cinttypes>
#include <string>

#include "cli/progress.h"
#include "scan/save.h"

namespace korvane::cli {
namespace {

class ReportingSink final : public SaveSink {
 public:
  ReportingSink(const Options& options, const Streams& streams, size_t files)
      : streams_(streams),
        files_(files),
        line_(streams.err, streams.err_is_terminal && !options.quiet, streams.err_columns) {}

  void OnSaveStart(uint64_t total, size_t files) override {
    (void)total, (void)files;
    line_.Start();
  }
  void OnFileStart(const Recording& r, size_t number) override {
    label_ = "saving " + r.Name() + " (" + std::to_string(number + 1) + " of " +
             std::to_string(files_) + ")  ";
  }
  void OnProgress(uint64_t done, uint64_t total) override { line_.Draw(done, total, label_); }
  void OnFileDone(const SavedFile& f) override {
    line_.Clear();
    const std::string name = f.recording.Name();
    if (f.outcome == FileOutcome::kSaved) {
      std::fprintf(streams_.err, "korvane-scan: saved %s as '%s' (%" PRIu64 " bytes)\n",
                   name.c_str(), f.file_name.c_str(), f.bytes);
      if (!f.error.empty()) {
        std::fprintf(streams_.err, "korvane-scan: warning: %s: %s\n", f.file_name.c_str(),
                     f.error.c_str());
      }
    } else if (f.outcome == FileOutcome::kFailed) {
      std::fprintf(streams_.err, "korvane-scan: %s not saved: %s\n", name.c_str(), f.error.c_str());
    }
  }

 private:
  Streams streams_;
  size_t files_;
  ProgressLine line_;
  std::string label_;
};

}  // namespace

int SaveFound(SourceReader& reader, const Options& options, const std::vector<Recording>& found,
              const DateWindow& window, const Streams& streams, const std::atomic<int>& stop,
              int code, SaveResult* outcome) {
  if (options.select && options.select->Highest() >= found.size()) {
    std::fprintf(
        streams.err,
        "korvane-scan: --select names %" PRIu64 ".dav, but the scan found %s; nothing saved\n",
        options.select->Highest(),
        found.empty() ? "no recordings" : ("only 0.dav to " + found.back().Name()).c_str());
    return kExitUsage;
  }
  SaveJob job;
  job.source = options.source;  // recordings.csv gets its canonical path
  job.folder = *options.save_dir;
  job.window = window;
  for (const Recording& r : found) {
    if (!options.select || options.select->Contains(r.index)) job.recordings.push_back(r);
  }
  if (job.recordings.empty()) {
    std::fprintf(streams.err, "korvane-scan: no recordings to save\n");
    return code;
  }

  ReportingSink sink(options, streams, job.recordings.size());
  SaveResult result = SaveRecordings(reader, job, sink, stop);
  if (outcome) *outcome = result;
  if (!result.Ran()) {
    if (result.saved_files > 0) {  // it failed part way: the files saved before stand
      std::fprintf(streams.err,
                   "korvane-scan: saving failed after %" PRIu64
                   " of %zu recordings were saved to "
                   "'%s': %s\n",
                   result.saved_files, job.recordings.size(), job.folder.c_str(),
                   result.status.message().c_str());
      return kExitSaveFailed;
    }
    std::fprintf(streams.err, "korvane-scan: nothing saved: %s\n", result.status.message().c_str());
    return result.status.code() == ErrorCode::kNoMemory ? kExitSourceFailed : kExitSaveFailed;
  }
  std::fprintf(streams.err, "korvane-scan: saved %" PRIu64 " of %zu recordings (%s) to '%s'%s\n",
               result.saved_files, job.recordings.size(),
               HumanBytes(static_cast<double>(result.saved_bytes)).c_str(), job.folder.c_str(),
               result.failed_files ? "; some could not be saved" : "");
  if (!result.manifest_error.empty()) {
    std::fprintf(streams.err, "korvane-scan: %s\n", result.manifest_error.c_str());
  }
  if (result.Stopped()) {
    std::fprintf(streams.err, "korvane-scan: stopped; the file being written was removed\n");
    return kExitInterrupted;
  }
  if (result.failed_files > 0 || !result.manifest_error.empty()) return kExitSaveFailed;
  if (result.unreadable_bytes > 0 && code == kExitOk) return kExitUnreadable;
  return code;
}

}  // namespace korvane::cli
