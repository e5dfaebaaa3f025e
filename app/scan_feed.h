// SPDX-License-Identifier: GPL-3.0-or-later
// How a job on the worker thread (a scan or a save) reaches the window. The worker appends what
// happened to a queue and, when it finds the queue empty, asks the window's thread to come and
// take it; the window takes everything at once, in the order it happened. The worker never waits
// for the window: the only lock is held for a push or a take, never while the window works.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "scan/save.h"
#include "scan/scanner.h"

namespace korvane::gui {

// What a job reports, one kind per event: a scan's start, rows, progress and end; a save's start,
// progress and end. Each kind carries only its own data.
struct ScanStarted {
  uint64_t total = 0;  // bytes in the range
};
// A row of either grouping: recording.grouping says which list it belongs to.
struct RecordingOpened {
  Recording recording;
};
struct RecordingClosed {
  Recording recording;
};
struct JobProgress {
  uint64_t done = 0, total = 0;
};
struct ScanFinished {
  ScanResult result;
};
struct SaveStarted {
  uint64_t total = 0;  // bytes to write
  uint64_t files = 0;
};
struct SaveFinished {
  SaveResult result;
};
// One channel of a recording tried by a video export.
struct ExportedVideo {
  std::string recording;  // "0.dav"
  uint8_t channel = 0;
  std::string file_name;  // the name it got, when exported
  bool exported = false;
  bool stopped = false;       // the stop ended it; nothing of it is left
  bool no_key_frame = false;  // nothing to export: no complete key frame (no failure)
  std::string error;          // why it failed; for an exported file, a note
  // An exported file: its size and SHA-256 as written, whether exports.csv lists it, and the
  // source's bytes its frames were taken from (the recording's).
  uint64_t bytes = 0;
  std::string sha256;
  bool in_manifest = false;
  uint64_t position = 0, end_position = 0;
};
// A video export's end. status: ok, kStopped, or why nothing could be exported at all.
struct ExportFinished {
  Status status;
  std::string folder;
  std::vector<ExportedVideo> files;
  uint64_t exported_bytes = 0;
  std::string manifest_error;  // the first reason a line could not be added to exports.csv

  bool Ran() const { return status.ok() || status.code() == ErrorCode::kStopped; }
};
using JobNews = std::variant<ScanStarted, RecordingOpened, RecordingClosed, JobProgress,
                             ScanFinished, SaveStarted, SaveFinished, ExportFinished>;

struct ScanEvent {
  uint64_t job = 0;    // the number given to the job's sink
  double elapsed = 0;  // seconds since the job started
  JobNews news;

  bool Ends() const {
    return std::holds_alternative<ScanFinished>(news) ||
           std::holds_alternative<SaveFinished>(news) ||
           std::holds_alternative<ExportFinished>(news);
  }
};

class ScanFeed {
 public:
  // `wake` runs on the pushing thread, with no lock held, whenever a push finds the queue empty
  // (with false) and after every end of a job (with true). It must
  // not wait for anything: it only posts a call of Take().
  explicit ScanFeed(std::function<void(bool ended)> wake) : wake_(std::move(wake)) {}

  // Any thread. A progress report replaces one of the same job still waiting at the end of the
  // queue, so a busy window gets the latest figure, not every one.
  void Push(ScanEvent event);

  // Everything pushed since the last call, oldest first.
  std::vector<ScanEvent> Take();

 private:
  std::function<void(bool ended)> wake_;
  std::mutex mutex_;
  std::vector<ScanEvent> events_;
};

// What the sinks of both jobs share: events numbered with their job, timed from its start, and
// progress passed on at most every kProgressInterval (and always when complete), so that a fast
// job does not keep the window's thread redrawing the bar for every chunk.
class FeedReporter {
 public:
  static constexpr std::chrono::milliseconds kProgressInterval{50};

  FeedReporter(ScanFeed& feed, uint64_t job) : feed_(feed), job_(job) {}

 protected:
  ScanEvent Event(JobNews news) const;
  void Started(JobNews news);
  void Progress(uint64_t done, uint64_t total);
  // Pushes the last progress held back, then `news`.
  void Finished(JobNews news);

  ScanFeed& feed_;

 private:
  uint64_t job_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_progress_{};
  bool held_back_ = false;  // a progress report has not been pushed
  uint64_t done_ = 0, total_ = 0;
};

// The sink one scan reports to. Used on the worker's thread only; Finish() is called there once
// the scan has returned.
class FeedSink final : public ScanSink, FeedReporter {
 public:
  using FeedReporter::FeedReporter;

  Status OnScanStart(uint64_t total) override;
  Status OnProgress(uint64_t done, uint64_t total) override;
  Status OnRecordingOpened(const Recording& r) override;
  Status OnRecordingClosed(const Recording& r) override;
  Status OnCameraRecordingOpened(const Recording& r) override;
  Status OnCameraRecordingClosed(const Recording& r) override;
  void Finish(const ScanResult& result);
};

// The sink one save reports to, in the same way.
class SaveFeedSink final : public SaveSink, FeedReporter {
 public:
  using FeedReporter::FeedReporter;

  void OnSaveStart(uint64_t total, size_t files) override;
  void OnProgress(uint64_t done, uint64_t total) override;
  void Finish(const SaveResult& result);
};

}  // namespace korvane::gui
