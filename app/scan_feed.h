// How a scan on the worker thread reaches the window. The worker appends what happened to a
// queue and, when it finds the queue empty, asks the window's thread to come and take it; the
// window takes everything at once, in the order it happened. The worker never waits for the
// window: the only lock is held for a push or a take, never while the window works.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "scan/scanner.h"

namespace korvane::window {

struct ScanEvent {
  enum class Kind { kStarted, kOpened, kClosed, kProgress, kFinished };
  Kind kind = Kind::kProgress;
  uint64_t scan = 0;    // the scan it belongs to: the number given to its FeedSink
  Recording recording;  // kOpened, kClosed
  uint64_t done = 0;    // kProgress
  uint64_t total = 0;   // kStarted, kProgress
  double elapsed = 0;   // seconds since the scan started: kProgress, kFinished
  ScanResult result;    // kFinished
};

class ScanFeed {
 public:
  // `wake` runs on the pushing thread, with no lock held, whenever a push finds the queue empty
  // and after every kFinished. It must not wait for anything: it only posts a call of Take().
  explicit ScanFeed(std::function<void()> wake) : wake_(std::move(wake)) {}

  // Any thread. A progress report replaces one of the same scan still waiting at the end of the
  // queue, so a busy window gets the latest figure, not every one.
  void Push(ScanEvent event);

  // Everything pushed since the last call, oldest first.
  std::vector<ScanEvent> Take();

 private:
  std::function<void()> wake_;
  std::mutex mutex_;
  std::vector<ScanEvent> events_;
};

// The sink one scan reports to: turns its calls into events numbered `scan`. Used on the worker's
// thread only; Finish() is called there once the scan has returned.
class FeedSink final : public ScanSink {
 public:
  FeedSink(ScanFeed& feed, uint64_t scan) : feed_(feed), scan_(scan) {}

  void OnScanStart(uint64_t total) override;
  void OnProgress(uint64_t done, uint64_t total) override;
  void OnRecordingOpened(const Recording& r) override;
  void OnRecordingClosed(const Recording& r) override;
  void Finish(const ScanResult& result);

 private:
  ScanEvent Event(ScanEvent::Kind kind) const;
  void PushRecording(ScanEvent::Kind kind, const Recording& r);

  ScanFeed& feed_;
  uint64_t scan_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace korvane::window
