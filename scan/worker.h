// SPDX-License-Identifier: GPL-3.0-or-later
// The one background job that may run at a time (a scan or a save), and its flags.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "scan/result.h"
#include "scan/save.h"
#include "scan/scanner.h"

namespace korvane {

class ScanWorker {
 public:
  // `busy` is 1 while a job runs: raised by Start before the job's thread exists, so a second
  // start is refused from that moment, and lowered when the job's body has returned. Workers that
  // share one flag run one job at a time between them; a worker made without one has its own.
  explicit ScanWorker(std::atomic<int>& busy) : busy_(busy) {}
  ScanWorker() : busy_(own_busy_) {}
  ~ScanWorker();  // asks a running job to stop and waits for it
  ScanWorker(const ScanWorker&) = delete;
  ScanWorker& operator=(const ScanWorker&) = delete;

  // Runs body on a new thread with the stop flag cleared. Refused, with nothing changed, while the
  // busy flag is up (kRefused) or when no thread can be created (kInternal or kNoMemory, saying
  // why). `finished` runs on the worker thread
  // after the busy flag has been lowered.
  Status Start(std::function<void(const std::atomic<int>& stop)> body,
               std::function<void()> finished = {});

  // A scan of job reported to sink; `finished` receives its result after the flag is lowered.
  Status StartScan(ScanJob job, ScanSink& sink, std::function<void(const ScanResult&)> finished);

  // A save of job reported to sink; `finished` receives its result after the flag is lowered.
  Status StartSave(SaveJob job, SaveSink& sink, std::function<void(const SaveResult&)> finished);

  // Sets the stop flag; the job ends at its next chunk (MiB) boundary. Does not wait.
  void RequestStop() { m_bStop.store(1); }

  // Waits for the last started job's thread (if any) to end.
  void Join();

  bool Running() const { return running_.load(); }
  // The busy flag is up: this worker, or one sharing its flag, runs a job.
  bool Busy() const { return busy_.load() != 0; }

  std::atomic<int> m_bStop{0};

 private:
  std::atomic<int> own_busy_{0};
  std::atomic<int>& busy_;
  std::thread thread_;
  std::atomic<bool> running_{false};
};

}  // namespace korvane
