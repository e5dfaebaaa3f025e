#include "app/scan_feed.h"

namespace korvane::window {

void ScanFeed::Push(ScanEvent event) {
  const bool finished = event.kind == ScanEvent::Kind::kFinished;
  bool was_empty;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    was_empty = events_.empty();
    if (!was_empty && event.kind == ScanEvent::Kind::kProgress &&
        events_.back().kind == ScanEvent::Kind::kProgress && events_.back().scan == event.scan) {
      events_.back() = std::move(event);
    } else {
      events_.push_back(std::move(event));
    }
  }
  // A non-empty queue already has a take on its way; the end of a scan always sends one more,
  // so whoever waits for it is woken whatever the queue held.
  if (was_empty || finished) wake_();
}

std::vector<ScanEvent> ScanFeed::Take() {
  std::vector<ScanEvent> taken;
  std::lock_guard<std::mutex> lock(mutex_);
  taken.swap(events_);
  return taken;
}

ScanEvent FeedSink::Event(ScanEvent::Kind kind) const {
  ScanEvent event;
  event.kind = kind;
  event.scan = scan_;
  event.elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  return event;
}

void FeedSink::OnScanStart(uint64_t total) {
  started_ = std::chrono::steady_clock::now();
  ScanEvent event = Event(ScanEvent::Kind::kStarted);
  event.total = total;
  feed_.Push(std::move(event));
}

void FeedSink::OnProgress(uint64_t done, uint64_t total) {
  ScanEvent event = Event(ScanEvent::Kind::kProgress);
  event.done = done;
  event.total = total;
  feed_.Push(std::move(event));
}

void FeedSink::OnRecordingOpened(const Recording& r) {
  PushRecording(ScanEvent::Kind::kOpened, r);
}

void FeedSink::OnRecordingClosed(const Recording& r) {
  PushRecording(ScanEvent::Kind::kClosed, r);
}

void FeedSink::PushRecording(ScanEvent::Kind kind, const Recording& r) {
  ScanEvent event = Event(kind);
  event.recording = r;
  feed_.Push(std::move(event));
}

void FeedSink::Finish(const ScanResult& result) {
  ScanEvent event = Event(ScanEvent::Kind::kFinished);
  event.result = result;
  feed_.Push(std::move(event));
}

}  // namespace korvane::window
