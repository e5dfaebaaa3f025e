// How a job on the worker thread (a scan or a save) reaches the window. The worker appends what
// happened to a queue and, when it finds the queue empty, asks the window's thread to come and
// take it; the window takes everything at once, in the order it happened. The worker never waits
// for the window: the only lock is held for a push or a take, never while the window works.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "scan/save.h"
#include "scan/scanner.h"

namespace korvane::window {

struct ScanEvent {
  enum class Kind {
    kStarted, kOpened, kClosed, kProgress, kFinished,  // a scan
    kSaveStarted, kSaveFinished,                       // a save (its progress is kProgress)
  };
  Kind kind = Kind::kProgress;
  uint64_t scan = 0;    // the job it belongs to: the number given to its sink
  Recording recording;  // kOpened, kClosed
  uint64_t done = 0;    // kProgress
  uint64_t total = 0;   // kStarted, kSaveStarted, kProgress
  uint64_t files = 0;   // kSaveStarted
  double elapsed = 0;   // seconds since the job started: kProgress, kFinished, kSaveFinished
  ScanResult result;    // kFinished
  SaveResult saved;     // kSaveFinished
};

class ScanFeed {
 public:
  // `wake` runs on the pushing thread, with no lock held, whenever a push finds the queue empty
  // (with false) and after every kFinished and kSaveFinished (with true: a job has ended). It must
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
  ScanEvent Event(ScanEvent::Kind kind) const;
  void Started(ScanEvent event);
  void Progress(uint64_t done, uint64_t total);
  // Pushes the last progress held back, then `event`.
  void Finished(ScanEvent event);

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
  void Finish(const ScanResult& result);

 private:
  void PushRecording(ScanEvent::Kind kind, const Recording& r);
};

// The sink one save reports to, in the same way.
class SaveFeedSink final : public SaveSink, FeedReporter {
 public:
  using FeedReporter::FeedReporter;

  void OnSaveStart(uint64_t total, size_t files) override;
  void OnProgress(uint64_t done, uint64_t total) override;
  void Finish(const SaveResult& result);
};

}  // namespace korvane::window
