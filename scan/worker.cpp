// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/worker.h"

namespace korvane {

ScanWorker::~ScanWorker() {
  RequestStop();
  Join();
}

Status ScanWorker::Start(std::function<void(const std::atomic<int>& stop)> body,
                         std::function<void()> finished) {
  int idle = 0;
  if (!busy_.compare_exchange_strong(idle, 1)) {
    return Status::Error(ErrorCode::kRefused, "another job is running");
  }
  // The previous job has lowered the flag; its thread may still be finishing its last words.
  Join();
  m_bStop.store(0);
  running_.store(true);
  try {
    thread_ = std::thread([this, body = std::move(body), finished = std::move(finished)] {
      body(m_bStop);
      busy_.store(0);
      running_.store(false);
      if (finished) finished();
    });
  } catch (...) {
    running_.store(false);
    busy_.store(0);
    return StatusFromException("cannot start the worker thread");
  }
  return Status::Ok();
}

namespace {

// Starts run(stop) on the worker and hands its result to finished once the flag is lowered.
template <typename JobResult, typename Run>
Status StartWithResult(ScanWorker& worker, Run run,
                       std::function<void(const JobResult&)> finished) {
  auto result = std::make_shared<JobResult>();
  return worker.Start(
      [run = std::move(run), result](const std::atomic<int>& stop) { *result = run(stop); },
      [result, finished = std::move(finished)] {
        if (finished) finished(*result);
      });
}

}  // namespace

Status ScanWorker::StartScan(ScanJob job, ScanSink& sink,
                             std::function<void(const ScanResult&)> finished) {
  return StartWithResult<ScanResult>(
      *this,
      [job = std::move(job), &sink](const std::atomic<int>& stop) {
        return ScanSource(job, sink, stop);
      },
      std::move(finished));
}

Status ScanWorker::StartSave(SaveJob job, SaveSink& sink,
                             std::function<void(const SaveResult&)> finished) {
  return StartWithResult<SaveResult>(
      *this,
      [job = std::move(job), &sink](const std::atomic<int>& stop) {
        return SaveRecordings(job, sink, stop);
      },
      std::move(finished));
}

void ScanWorker::Join() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // a job's own `finished` started the next one; this thread is ending
  } else {
    thread_.join();
  }
}

}  // namespace korvane
