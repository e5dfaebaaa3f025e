#include "app/scan_feed.h"

namespace korvane::window {

void ScanFeed::Push(ScanEvent event) {
  const bool finished =
      event.kind == ScanEvent::Kind::kFinished || event.kind == ScanEvent::Kind::kSaveFinished;
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
  // A non-empty queue already has a take on its way; the end of a job always sends one more,
  // so whoever waits for it is woken whatever the queue held.
  if (was_empty || finished) wake_(finished);
}

std::vector<ScanEvent> ScanFeed::Take() {
  std::vector<ScanEvent> taken;
  std::lock_guard<std::mutex> lock(mutex_);
  taken.swap(events_);
  return taken;
}

ScanEvent FeedReporter::Event(ScanEvent::Kind kind) const {
  ScanEvent event;
  event.kind = kind;
  event.scan = job_;
  event.elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  return event;
}

void FeedReporter::Started(ScanEvent event) {
  started_ = std::chrono::steady_clock::now();
  last_progress_ = started_;
  event.elapsed = 0;
  feed_.Push(std::move(event));
}

void FeedReporter::Progress(uint64_t done, uint64_t total) {
  done_ = done;
  total_ = total;
  const auto now = std::chrono::steady_clock::now();
  if (done < total && now - last_progress_ < kProgressInterval) {
    held_back_ = true;
    return;
  }
  last_progress_ = now;
  held_back_ = false;
  ScanEvent event = Event(ScanEvent::Kind::kProgress);
  event.done = done;
  event.total = total;
  feed_.Push(std::move(event));
}

void FeedReporter::Finished(ScanEvent event) {
  if (held_back_) {
    ScanEvent progress = Event(ScanEvent::Kind::kProgress);
    progress.done = done_;
    progress.total = total_;
    feed_.Push(std::move(progress));
    held_back_ = false;
  }
  feed_.Push(std::move(event));
}

Status FeedSink::OnScanStart(uint64_t total) {
  ScanEvent event = Event(ScanEvent::Kind::kStarted);
  event.total = total;
  Started(std::move(event));
  return Status::Ok();
}

Status FeedSink::OnProgress(uint64_t done, uint64_t total) {
  Progress(done, total);
  return Status::Ok();
}

Status FeedSink::OnRecordingOpened(const Recording& r) {
  PushRecording(ScanEvent::Kind::kOpened, r);
  return Status::Ok();
}

Status FeedSink::OnRecordingClosed(const Recording& r) {
  PushRecording(ScanEvent::Kind::kClosed, r);
  return Status::Ok();
}

void FeedSink::PushRecording(ScanEvent::Kind kind, const Recording& r) {
  ScanEvent event = Event(kind);
  event.recording = r;
  feed_.Push(std::move(event));
}

void FeedSink::Finish(const ScanResult& result) {
  ScanEvent event = Event(ScanEvent::Kind::kFinished);
  event.result = result;
  Finished(std::move(event));
}

void SaveFeedSink::OnSaveStart(uint64_t total, size_t files) {
  ScanEvent event = Event(ScanEvent::Kind::kSaveStarted);
  event.total = total;
  event.files = files;
  Started(std::move(event));
}

void SaveFeedSink::OnProgress(uint64_t done, uint64_t total) {
  Progress(done, total);
}

void SaveFeedSink::Finish(const SaveResult& result) {
  ScanEvent event = Event(ScanEvent::Kind::kSaveFinished);
  event.saved = result;
  Finished(std::move(event));
}

}  // namespace korvane::window
