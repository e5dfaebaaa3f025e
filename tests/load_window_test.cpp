// SPDX-License-Identifier: GPL-3.0-or-later
// The window under load: a result set of 100,000 recordings delivered the way a scan delivers
// them, and many scans started and stopped one after another.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/scan_feed.h"
#include "scan/worker.h"
#include "tests/test_support.h"
#include "tests/window_test_support.h"

namespace korvane {
namespace {

using test::BoxSeen;
using test::Window;

// Bounds far above what a debug build takes on a busy two-core machine and a few times what an
// AddressSanitizer build takes (the figures are printed), so that only a window that has become
// slow in kind fails them.
constexpr qint64 kAppendBoundMs = 20000;
constexpr qint64 kCommandBoundMs = 5000;  // Select all, Deselect, scrolling to the end
constexpr qint64 kStallBoundMs = 5000;    // longest time the window's thread does not answer

// Measures the longest time the window's thread leaves a 10 ms timer waiting.
class StallMeter {
 public:
  StallMeter() {
    clock_.start();
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout,
                     [this] { longest_ = std::max(longest_, clock_.restart()); });
    timer_.start();
  }
  qint64 LongestMs() const { return std::max(longest_, clock_.elapsed()); }

 private:
  QElapsedTimer clock_;
  QTimer timer_;
  qint64 longest_ = 0;
};

// Runs `command` and draws the list once; returns the milliseconds both took.
template <typename Command>
qint64 TimedWithRepaint(CKorvaneDlg& dlg, Command command) {
  QElapsedTimer clock;
  clock.start();
  command();
  QCoreApplication::processEvents();
  test::List(dlg)->viewport()->repaint();
  return clock.elapsed();
}

TEST(LoadWindow, AHundredThousandRecordingsAreListedAndCheckedWithoutStallingTheWindow) {
  constexpr uint64_t kRecordings = 100000;
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  bool ended = false;
  QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, [&] { ended = true; });

  // A worker-side thread reports what a scan finding kRecordings recordings reports, through
  // the window's own feed, as the job the window shows (none started yet: job 0).
  StallMeter stalls;
  QElapsedTimer clock;
  clock.start();
  std::thread worker([&] {
    gui::FeedSink sink(dlg.Feed(), 0);
    const uint64_t total = kRecordings * 4096;
    (void)sink.OnScanStart(total);
    for (uint64_t i = 0; i < kRecordings; ++i) {
      Recording r;
      r.index = i;
      r.start = 1700000000 + static_cast<int64_t>(i) * 10;
      r.end = r.start;
      r.position = i * 4096;
      r.end_position = r.position + 40;
      r.frames = 1;
      (void)sink.OnRecordingOpened(r);
      r.end = r.start + 2;
      r.end_position = r.position + 120;
      r.frames = 3;
      (void)sink.OnRecordingClosed(r);
      if (i % 1000 == 999) (void)sink.OnProgress(r.position + 4096, total);
    }
    ScanResult result;
    result.status = Status::Ok();
    result.range_bytes = result.scanned_bytes = total;
    result.recordings = kRecordings;
    sink.Finish(result);
  });
  const bool in_time = QTest::qWaitFor([&] { return ended; }, 10 * test::kWaitMs);
  const qint64 append_ms = clock.elapsed();
  worker.join();
  ASSERT_TRUE(in_time);
  EXPECT_EQ(test::AnswerBox().text, "scan end!");
  const qint64 append_stall_ms = stalls.LongestMs();

  const auto& model = test::Rows(dlg);
  ASSERT_EQ(model.rowCount(), static_cast<int>(kRecordings));
  const auto& last = model.Rows().back();
  EXPECT_TRUE(last.closed);
  EXPECT_EQ(last.recording.frames, 3u);
  EXPECT_EQ(
      model.index(static_cast<int>(kRecordings - 1), gui::RecordingModel::kName).data().toString(),
      "99999.dav");
  EXPECT_EQ(test::Bar(dlg)->value(), test::Bar(dlg)->maximum());

  const qint64 select_ms = TimedWithRepaint(dlg, [&] { test::SelectAll(dlg); });
  EXPECT_TRUE(std::all_of(model.Rows().begin(), model.Rows().end(),
                          [](const auto& row) { return row.checked; }));
  const qint64 scroll_ms = TimedWithRepaint(dlg, [&] { test::List(dlg)->scrollToBottom(); });
  EXPECT_EQ(test::List(dlg)->verticalScrollBar()->value(),
            test::List(dlg)->verticalScrollBar()->maximum());
  EXPECT_GT(test::List(dlg)->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(test::List(dlg)->rowAt(test::List(dlg)->viewport()->height() - 1) / 10,
            static_cast<int>(kRecordings - 1) / 10);
  const qint64 deselect_ms = TimedWithRepaint(dlg, [&] { test::DeselectAll(dlg); });
  EXPECT_TRUE(std::none_of(model.Rows().begin(), model.Rows().end(),
                           [](const auto& row) { return row.checked; }));
  const qint64 scroll_top_ms = TimedWithRepaint(dlg, [&] { test::List(dlg)->scrollToTop(); });

  std::printf(
      "%llu recordings: listed in %lld ms (longest stall %lld ms); select all %lld ms, "
      "scroll to the end %lld ms, deselect %lld ms, scroll to the top %lld ms\n",
      static_cast<unsigned long long>(kRecordings), static_cast<long long>(append_ms),
      static_cast<long long>(append_stall_ms), static_cast<long long>(select_ms),
      static_cast<long long>(scroll_ms), static_cast<long long>(deselect_ms),
      static_cast<long long>(scroll_top_ms));
  EXPECT_LT(append_ms, kAppendBoundMs);
  EXPECT_LT(append_stall_ms, kStallBoundMs);
  EXPECT_LT(select_ms, kCommandBoundMs);
  EXPECT_LT(scroll_ms, kCommandBoundMs);
  EXPECT_LT(deselect_ms, kCommandBoundMs);
  EXPECT_LT(scroll_top_ms, kCommandBoundMs);
}

// How many scans StartsAndStopsManyScans runs: KORVANE_START_STOP_CYCLES, 20 unless set (the
// long suite runs 200).
int StartStopCycles() {
  const char* text = std::getenv("KORVANE_START_STOP_CYCLES");
  const int cycles = text ? std::atoi(text) : 0;
  return cycles > 0 ? cycles : 20;
}

TEST(LoadWindow, ASteadyStreamOfNewsIsTakenInFewBatchesAndTheEndAtOnce) {
  // A scan that finds a recording every millisecond must not have the window redrawing after
  // each one: the redraws would take the processors the scan's workers need.
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  int inserts = 0;
  QObject::connect(&test::Rows(dlg), &QAbstractItemModel::rowsInserted, [&] { ++inserts; });
  bool ended = false;
  QElapsedTimer since_finish;
  qint64 end_latency_ms = -1;
  QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, [&] {
    ended = true;
    end_latency_ms = since_finish.elapsed();
  });

  constexpr int kRecordings = 300;
  QElapsedTimer clock;
  clock.start();
  std::thread worker([&] {
    gui::FeedSink sink(dlg.Feed(), 0);
    (void)sink.OnScanStart(kRecordings * 4096);
    for (int i = 0; i < kRecordings; ++i) {
      Recording r;
      r.index = static_cast<uint64_t>(i);
      r.start = r.end = 1700000000 + i * 10;
      r.position = static_cast<uint64_t>(i) * 4096;
      r.end_position = r.position + 40;
      r.frames = 1;
      (void)sink.OnRecordingOpened(r);
      (void)sink.OnRecordingClosed(r);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ScanResult result;
    result.status = Status::Ok();
    result.range_bytes = result.scanned_bytes = kRecordings * 4096;
    result.recordings = kRecordings;
    since_finish.start();
    sink.Finish(result);
  });
  const bool in_time = QTest::qWaitFor([&] { return ended; }, test::kWaitMs);
  const qint64 stream_ms = clock.elapsed();
  worker.join();
  ASSERT_TRUE(in_time);
  EXPECT_EQ(test::AnswerBox().text, "scan end!");
  ASSERT_EQ(test::Rows(dlg).rowCount(), kRecordings);
  for (int i = 0; i < kRecordings; ++i) {
    ASSERT_EQ(test::Rows(dlg).Rows()[static_cast<size_t>(i)].recording.index,
              static_cast<uint64_t>(i));
    ASSERT_TRUE(test::Rows(dlg).Rows()[static_cast<size_t>(i)].closed);
  }
  std::printf(
      "%d recordings over %lld ms came in %d insertions; the end was shown %lld ms after "
      "it was reported\n",
      kRecordings, static_cast<long long>(stream_ms), inserts,
      static_cast<long long>(end_latency_ms));
  // One take per 100 ms at most, and one for the end. A slower machine takes fewer, never more.
  EXPECT_LE(inserts, static_cast<int>(stream_ms / 100) + 3);
  // The end is taken as soon as the window's thread gets to it, however recent the last take.
  // (Measured: a few ms; the bound only leaves room for a busy machine.)
  EXPECT_LT(end_latency_ms, 1000);
}

TEST(LoadWindow, StartsAndStopsManyScans) {
  test::TempDir dir;
  const std::string image = dir.File("long.img");
  test::WriteLongImage(image, 64ull << 30);  // sparse: long to scan, nothing on disk
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  w.FillForImage(image, dir.path().string());
  int ends = 0;
  bool ended = false;
  QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, [&] { ended = true, ++ends; });

  const int cycles = StartStopCycles();
  QElapsedTimer clock;
  clock.start();
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE(cycle);
    ended = false;
    test::Start(dlg);
    ASSERT_EQ(g_bScanning.load(), 1);
    // Every other scan is stopped at once, the others once they have found their rows.
    if (cycle % 2) {
      ASSERT_TRUE(QTest::qWaitFor([&] { return test::Rows(dlg).rowCount() == 3; }, test::kWaitMs));
    }
    test::Stop(dlg);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, test::kWaitMs));
    const BoxSeen end = test::AnswerBox();
    ASSERT_EQ(end.text, "scan end!");
    ASSERT_EQ(g_bScanning.load(), 0);
    ASSERT_LT(test::Bar(dlg)->value(), test::Bar(dlg)->maximum());
    ASSERT_LE(test::Rows(dlg).rowCount(), 3);
  }
  EXPECT_EQ(ends, cycles);
  EXPECT_EQ(test::VisibleBox(), nullptr);
  std::printf("%d scans started and stopped in %lld ms\n", cycles,
              static_cast<long long>(clock.elapsed()));
}

}  // namespace
}  // namespace korvane
