#include "scan/worker.h"

#include <system_error>

namespace korvane {

ScanWorker::~ScanWorker() {
  RequestStop();
  Join();
}

bool ScanWorker::Start(std::function<void(const std::atomic<int>& stop)> body,
                       std::function<void()> finished) {
  int idle = 0;
  if (!busy_.compare_exchange_strong(idle, 1)) return false;
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
  } catch (const std::system_error&) {
    running_.store(false);
    busy_.store(0);
    return false;
  }
  return true;
}

namespace {

// Starts run(stop) on the worker and hands its result to finished once the flag is lowered.
template <typename Result, typename Run>
bool StartWithResult(ScanWorker& worker, Run run, std::function<void(const Result&)> finished) {
  auto result = std::make_shared<Result>();
  return worker.Start(
      [run = std::move(run), result](const std::atomic<int>& stop) { *result = run(stop); },
      [result, finished = std::move(finished)] {
        if (finished) finished(*result);
      });
}

}  // namespace

bool ScanWorker::StartScan(ScanJob job, ScanSink& sink,
                           std::function<void(const ScanResult&)> finished) {
  return StartWithResult<ScanResult>(
      *this,
      [job = std::move(job), &sink](const std::atomic<int>& stop) {
        return ScanSource(job, sink, stop);
      },
      std::move(finished));
}

bool ScanWorker::StartSave(SaveJob job, SaveSink& sink,
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
