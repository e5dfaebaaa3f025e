// SPDX-License-Identifier: GPL-3.0-or-later
// The worker on real threads and real files. Built into its own executable so that ./test can run
// it under ThreadSanitizer.
#include "scan/worker.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>

#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

constexpr uint64_t kMiB = 1 << 20;

// What a window's UI thread does with a worker's `finished`: it receives it as a posted message.
class Mailbox {
 public:
  void Post(ScanResult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    results_.push_back(std::move(result));
    cv_.notify_all();
  }
  ScanResult Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return !results_.empty(); });
    ScanResult r = std::move(results_.front());
    results_.pop_front();
    return r;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<ScanResult> results_;
};

// One flag a test thread can wait for.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

class WorkerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    // A recording at the start and a long sparse tail: a scan takes a while and can be stopped.
    testimage::ImageBuilder head(kMiB, testimage::Fill::kNoise, 11);
    head.AddRecording(4096, 1393891200, 20, 1, 1000);
    test::WriteFile(Image(), head.bytes());
    std::filesystem::resize_file(Image(), 256 * kMiB);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(busy_.load(), 0); }
  void TearDown() override { EXPECT_EQ(busy_.load(), 0); }

  static std::string Image() { return dir_->File("sparse.img"); }
  static ScanJob Job(std::optional<uint64_t> size = std::nullopt) {
    ScanJob job;
    job.source = Image();
    job.size = size;
    return job;
  }

  static test::TempDir* dir_;
  std::atomic<int> busy_{0};  // the flag every worker of a test shares
};

test::TempDir* WorkerTest::dir_ = nullptr;

TEST_F(WorkerTest, TheBusyFlagIsRaisedBeforeTheThreadRunsAndRefusesASecondStart) {
  ScanWorker worker(busy_), other(busy_);
  Gate release;
  Gate finished;
  ASSERT_TRUE(
      worker.Start([&](const std::atomic<int>&) { release.Wait(); }, [&] { finished.Open(); })
          .ok());
  EXPECT_EQ(busy_.load(), 1);
  EXPECT_TRUE(worker.Running());
  worker.RequestStop();
  bool ran = false;
  const Status refused = worker.Start([&](const std::atomic<int>&) { ran = true; });
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.code(), ErrorCode::kRefused);
  EXPECT_EQ(worker.m_bStop.load(), 1) << "a refused start leaves the stop flag as it was";
  test::RecordingSink sink;
  EXPECT_EQ(other.StartScan(Job(), sink, {}).code(), ErrorCode::kRefused) << "the flag is shared";
  release.Open();
  finished.Wait();
  worker.Join();
  EXPECT_FALSE(ran);
  EXPECT_FALSE(worker.Running());
}

TEST_F(WorkerTest, OfTwoStartsRacingFromTwoThreadsExactlyOneRuns) {
  for (int round = 0; round < 50; ++round) {
    ScanWorker a(busy_), b(busy_);
    std::atomic<int> bodies{0};
    Gate go, both_tried;
    bool started_a = false, started_b = false;
    auto body = [&](const std::atomic<int>&) {
      bodies.fetch_add(1);
      both_tried.Wait();  // the winner stays busy until the loser has been refused
    };
    std::thread ta([&] {
      go.Wait();
      started_a = a.Start(body).ok();
    });
    std::thread tb([&] {
      go.Wait();
      started_b = b.Start(body).ok();
    });
    go.Open();
    ta.join();
    tb.join();
    both_tried.Open();
    a.Join();
    b.Join();
    ASSERT_NE(started_a, started_b) << "round " << round;
    EXPECT_EQ(bodies.load(), 1);
    EXPECT_EQ(busy_.load(), 0);
  }
}

TEST_F(WorkerTest, AScanReportsOnTheWorkerAndFinishesAfterTheFlagIsLowered) {
  ScanWorker worker(busy_);
  test::RecordingSink sink;
  Mailbox mailbox;
  int flag_in_finished = -1;
  ASSERT_TRUE(worker
                  .StartScan(Job(8 * kMiB), sink,
                             [&](const ScanResult& r) {
                               flag_in_finished = busy_.load();
                               mailbox.Post(r);
                             })
                  .ok());
  const ScanResult result = mailbox.Wait();
  worker.Join();
  EXPECT_EQ(flag_in_finished, 0);
  EXPECT_EQ(result.status.code(), ErrorCode::kOk);
  EXPECT_EQ(result.scanned_bytes, 8 * kMiB);
  ASSERT_EQ(sink.closed.size(), 1u);
  EXPECT_EQ(sink.closed[0].frames, 20u);
  EXPECT_EQ(sink.progress.back().done, 8 * kMiB);
}

TEST_F(WorkerTest, StopEndsTheScanAtAChunkBoundaryAndKeepsWhatWasFound) {
  ScanWorker worker(busy_);
  test::RecordingSink sink;
  Mailbox mailbox;
  Gate first_chunk;
  sink.on_progress = [&](uint64_t done) {
    if (done == kMiB) first_chunk.Open();
  };
  ASSERT_TRUE(worker.StartScan(Job(), sink, [&](const ScanResult& r) { mailbox.Post(r); }).ok());
  first_chunk.Wait();
  worker.RequestStop();
  const ScanResult result = mailbox.Wait();
  worker.Join();
  EXPECT_EQ(result.status.code(), ErrorCode::kStopped);
  EXPECT_LT(result.scanned_bytes, 256 * kMiB);
  EXPECT_EQ(result.scanned_bytes % kMiB, 0u);
  ASSERT_EQ(sink.closed.size(), 1u);
  EXPECT_EQ(sink.closed[0].frames, 20u);

  // A stop request while idle does not reach the next scan: a start clears it.
  worker.RequestStop();
  test::RecordingSink again;
  ASSERT_TRUE(
      worker.StartScan(Job(3 * kMiB), again, [&](const ScanResult& r) { mailbox.Post(r); }).ok());
  EXPECT_EQ(mailbox.Wait().status.code(), ErrorCode::kOk);
  worker.Join();
}

TEST_F(WorkerTest, TheNextStartIsAcceptedAsSoonAsTheFinishedMessageArrives) {
  // The UI thread starts the next scan from the message that reports the last one, while the
  // worker thread that posted it may still be returning.
  ScanWorker worker(busy_);
  Mailbox mailbox;
  for (int i = 0; i < 100; ++i) {
    test::RecordingSink sink;
    ASSERT_TRUE(worker
                    .StartScan(Job(i % 2 ? kMiB + 512 : 512), sink,
                               [&](const ScanResult& r) { mailbox.Post(r); })
                    .ok())
        << "cycle " << i;
    if (i % 3 == 0) worker.RequestStop();  // at once: often before the scan has read anything
    const ScanResult r = mailbox.Wait();
    EXPECT_TRUE(r.Ran()) << "cycle " << i;
  }
  worker.Join();
}

TEST_F(WorkerTest, AnUnopenableSourceStillFinishes) {
  ScanWorker worker(busy_);
  test::RecordingSink sink;
  Mailbox mailbox;
  ScanJob job;
  job.source = dir_->File("missing.img");
  ASSERT_TRUE(worker.StartScan(job, sink, [&](const ScanResult& r) { mailbox.Post(r); }).ok());
  const ScanResult r = mailbox.Wait();
  worker.Join();
  EXPECT_EQ(r.status.code(), ErrorCode::kOpenFailed);
  EXPECT_NE(r.status.message().find("missing.img"), std::string::npos);
  EXPECT_TRUE(sink.starts.empty());
}

TEST_F(WorkerTest, DestroyingTheWorkerStopsAndWaitsForTheScan) {
  test::RecordingSink sink;
  std::atomic<int> finished{0};
  {
    ScanWorker worker(busy_);
    ASSERT_TRUE(worker
                    .StartScan(Job(), sink,
                               [&](const ScanResult& r) {
                                 EXPECT_EQ(r.status.code(), ErrorCode::kStopped);
                                 finished.store(1);
                               })
                    .ok());
  }
  EXPECT_EQ(finished.load(), 1) << "the destructor returned before the job ended";
  EXPECT_EQ(busy_.load(), 0);
  EXPECT_LT(sink.progress.back().done, 256 * kMiB);
}

TEST_F(WorkerTest, WorkersWithoutASharedFlagEachHaveTheirOwn) {
  // A program with one worker (the command line) needs no flag of its own to keep.
  ScanWorker a, b;
  Gate release;
  ASSERT_TRUE(a.Start([&](const std::atomic<int>&) { release.Wait(); }).ok());
  EXPECT_TRUE(a.Busy());
  EXPECT_FALSE(b.Busy());
  EXPECT_FALSE(a.Start([](const std::atomic<int>&) {}).ok()) << "one job at a time per worker";
  std::atomic<int> ran{0};
  ASSERT_TRUE(b.Start([&](const std::atomic<int>&) { ran.store(1); }).ok());
  b.Join();
  EXPECT_EQ(ran.load(), 1);
  release.Open();
  a.Join();
  EXPECT_FALSE(a.Busy());
  EXPECT_EQ(busy_.load(), 0);
}

}  // namespace
}  // namespace korvane
