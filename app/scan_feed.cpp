// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/scan_feed.h"

namespace korvane::gui {

void ScanFeed::Push(ScanEvent event) {
  const bool finished = event.Ends();
  bool was_empty;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    was_empty = events_.empty();
    if (!was_empty && std::holds_alternative<JobProgress>(event.news) &&
        std::holds_alternative<JobProgress>(events_.back().news) &&
        events_.back().job == event.job) {
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

ScanEvent FeedReporter::Event(JobNews news) const {
  return ScanEvent{
      job_, std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count(),
      std::move(news)};
}

void FeedReporter::Started(JobNews news) {
  started_ = std::chrono::steady_clock::now();
  last_progress_ = started_;
  feed_.Push(ScanEvent{job_, 0, std::move(news)});
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
  feed_.Push(Event(JobProgress{done, total}));
}

void FeedReporter::Finished(JobNews news) {
  if (held_back_) {
    feed_.Push(Event(JobProgress{done_, total_}));
    held_back_ = false;
  }
  feed_.Push(Event(std::move(news)));
}

Status FeedSink::OnScanStart(uint64_t total) {
  Started(ScanStarted{total});
  return Status::Ok();
}

Status FeedSink::OnProgress(uint64_t done, uint64_t total) {
  Progress(done, total);
  return Status::Ok();
}

Status FeedSink::OnRecordingOpened(const Recording& r) {
  feed_.Push(Event(RecordingOpened{r}));
  return Status::Ok();
}

Status FeedSink::OnRecordingClosed(const Recording& r) {
  feed_.Push(Event(RecordingClosed{r}));
  return Status::Ok();
}

Status FeedSink::OnCameraRecordingOpened(const Recording& r) {
  feed_.Push(Event(RecordingOpened{r}));
  return Status::Ok();
}

Status FeedSink::OnCameraRecordingClosed(const Recording& r) {
  feed_.Push(Event(RecordingClosed{r}));
  return Status::Ok();
}

void FeedSink::Finish(const ScanResult& result) {
  Finished(ScanFinished{result});
}

void SaveFeedSink::OnSaveStart(uint64_t total, size_t files) {
  Started(SaveStarted{total, files});
}

void SaveFeedSink::OnProgress(uint64_t done, uint64_t total) {
  Progress(done, total);
}

void SaveFeedSink::Finish(const SaveResult& result) {
  Finished(SaveFinished{result});
}

}  // namespace korvane::gui
