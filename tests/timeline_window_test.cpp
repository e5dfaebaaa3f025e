// SPDX-License-Identifier: GPL-3.0-or-later
// The timeline window: its axis, its time mapping and its index of bars as plain parts, then the
// window itself off screen, opened from the list's menu and driven with the mouse: bars drawn
// where their times are, a lane per channel, a click choosing the row in the list, the hover
// text, zooming with the wheel, and following a new scan and a switch of grouping; and the
// program drawing the timeline of a scan into a file.
#include "app/timeline_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QImage>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QToolTip>
#include <QWheelEvent>
#include <cmath>

#include "tests/test_support.h"
#include "tests/window_test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using gui::AxisTicks;
using gui::RecordingModel;
using gui::Tick;
using gui::TimelineIndex;
using gui::TimelineView;
using gui::TimeScale;

constexpr int64_t kT0 = 1700000000;  // 2023-11-14 22:13:20

// Labels as wide as a monospaced font of 7 pixels a character would draw them.
int Monospaced(const QString& text) {
  return 7 * static_cast<int>(text.size());
}

QStringList Labels(const std::vector<Tick>& ticks) {
  QStringList labels;
  for (const Tick& tick : ticks) labels << tick.label;
  return labels;
}

// Ticks of a view `width` pixels wide from `left` over `span` seconds.
std::vector<Tick> TicksOver(double left, double span, int width = 800) {
  return AxisTicks(left, left + span, span / width, Monospaced);
}

// Consecutive labels never touch: each ends kLabelGap pixels before the next begins.
void ExpectApart(const std::vector<Tick>& ticks, double seconds_per_pixel) {
  for (size_t i = 1; i < ticks.size(); ++i) {
    const double gap = static_cast<double>(ticks[i].t - ticks[i - 1].t) / seconds_per_pixel;
    EXPECT_GE(gap, Monospaced(ticks[i - 1].label) + gui::kLabelGap)
        << ticks[i - 1].label.toStdString() << " / " << ticks[i].label.toStdString();
  }
}

TEST(TimelineAxis, LabelsReadAtEveryZoomFromSecondsToCenturies) {
  // Seconds: two hundred pixels a second, the first tick with its date.
  std::vector<Tick> ticks = TicksOver(kT0, 4, 800);
  ASSERT_FALSE(ticks.empty());
  EXPECT_EQ(ticks[0].t, kT0);
  EXPECT_EQ(ticks[0].label, "2023-11-14 22:13:20");
  EXPECT_EQ(ticks[1].label, "22:13:21");
  ExpectApart(ticks, 0.005);

  // An hour: minutes, on whole ten minutes.
  ticks = TicksOver(kT0, 3600);
  ASSERT_GE(ticks.size(), 3u);
  EXPECT_EQ(ticks[0].label, "2023-11-14 22:20");
  EXPECT_EQ(ticks[1].label, "22:30");
  for (const Tick& tick : ticks) EXPECT_EQ(tick.t % 600, 0);
  ExpectApart(ticks, 3600.0 / 800);

  // Three days: the ticks that begin a day say its date.
  ticks = TicksOver(kT0, 3 * 86400);
  EXPECT_TRUE(Labels(ticks).contains("2023-11-15 00:00")) << Labels(ticks).join(' ').toStdString();
  EXPECT_TRUE(Labels(ticks).contains("12:00"));
  ExpectApart(ticks, 3 * 86400.0 / 800);

  // Two months: days, each month beginning with its first.
  ticks = TicksOver(kT0, 60 * 86400);
  EXPECT_TRUE(Labels(ticks).contains("2023-12-01")) << Labels(ticks).join(' ').toStdString();
  EXPECT_TRUE(Labels(ticks).contains("2024-01-01"));
  ExpectApart(ticks, 60 * 86400.0 / 800);

  // A year and a half in a narrow view: months.
  ticks = TicksOver(kT0, 550 * 86400, 500);
  EXPECT_TRUE(Labels(ticks).contains("2024-01")) << Labels(ticks).join(' ').toStdString();
  ExpectApart(ticks, 550 * 86400.0 / 500);

  // Thirty years: years, and two centuries: round decades or more.
  ticks = TicksOver(kT0, 30 * 365.25 * 86400);
  EXPECT_TRUE(Labels(ticks).contains("2030")) << Labels(ticks).join(' ').toStdString();
  ticks = TicksOver(kT0, 200 * 365.25 * 86400, 400);
  ASSERT_FALSE(ticks.empty());
  for (const Tick& tick : ticks) {
    EXPECT_TRUE(QRegularExpression("^\\d{3}0$").match(tick.label).hasMatch())
        << tick.label.toStdString();
  }
}

TEST(TimelineAxis, DayTicksKeepAStepFromTheNextMonthsFirst) {
  // Five-day steps: 1, 6, ... 21 in February (26 would be three days before March 1st).
  const double left = static_cast<double>(DateValue(2023, 2, 1));
  const double right = static_cast<double>(DateValue(2023, 3, 2));
  const double spp = 5 * 86400.0 / (Monospaced("2023-02-01") + gui::kLabelGap);
  const std::vector<Tick> ticks = AxisTicks(left, right, spp, Monospaced);
  EXPECT_EQ(Labels(ticks).join(' ').toStdString(),
            "2023-02-01 2023-02-06 2023-02-11 2023-02-16 2023-02-21 2023-03-01");
}

TEST(TimelineScale, FitsZoomsAroundAPointAndKeepsItsLimits) {
  TimeScale scale;
  scale.Fit(kT0, kT0 + 4000, 840);
  // A fortieth of the span of margin on each side.
  EXPECT_NEAR(scale.X(kT0), 840.0 / 42, 1e-6);
  EXPECT_NEAR(scale.X(kT0 + 4000), 840.0 * 41 / 42, 1e-6);

  const double t = scale.T(300);
  scale.ZoomAround(300, 0.5);
  EXPECT_NEAR(scale.T(300), t, 1e-6);
  EXPECT_NEAR(scale.X(kT0 + 4000) - scale.X(kT0), 2 * 840.0 * 40 / 42, 1e-6);

  // In: never more than two hundred pixels a second; out: never more than two centuries across.
  for (int i = 0; i < 100; ++i) scale.ZoomAround(300, 0.5);
  EXPECT_DOUBLE_EQ(scale.SecondsPerPixel(), TimeScale::kMinSecondsPerPixel);
  EXPECT_NEAR(scale.T(300), t, 1e-3);
  for (int i = 0; i < 200; ++i) scale.ZoomAround(300, 2);
  EXPECT_DOUBLE_EQ(scale.SecondsPerPixel() * 840, TimeScale::kMaxSpan);
  // One moment is fitted into a minute.
  scale.Fit(kT0, kT0, 600);
  EXPECT_DOUBLE_EQ(scale.Right() - scale.Left(), 60);
}

TEST(TimelineIndexing, FindsTheBarsOfATimeSpanAndThePointedBar) {
  TimelineIndex index;
  // Lane of channel 3: a long bar over short ones; channel 1; unknown channels.
  index.Add(3, 100, 10000, 0);
  for (int i = 0; i < 50; ++i) index.Add(3, 200 + i * 100, 250 + i * 100, 1 + i);
  index.Add(std::nullopt, 500, 600, 60);
  index.Add(1, 700, 800, 61);
  index.Finish();
  ASSERT_EQ(index.Lanes().size(), 3u);
  EXPECT_EQ(index.Lanes()[0].channel, 1);
  EXPECT_EQ(index.Lanes()[1].channel, 3);
  EXPECT_EQ(index.Lanes()[2].channel, std::nullopt);
  EXPECT_EQ(index.First(), 100);
  EXPECT_EQ(index.Last(), 10000);
  EXPECT_EQ(index.Bars(), 53u);

  std::vector<int> rows;
  index.Visit(1, 1040, 1210, [&](const TimelineIndex::Bar& bar) { rows.push_back(bar.row); });
  // The long bar, the bar 1000-1050 that reaches in, and 1100-1150 and 1200-1250.
  EXPECT_EQ(rows, (std::vector<int>{0, 9, 10, 11}));

  // A point in a short bar over the long one hits the short one; in a gap, the long one; a
  // point near a bar hits it within the slop, not beyond.
  ASSERT_NE(index.Hit(1, 1020, 5), nullptr);
  EXPECT_EQ(index.Hit(1, 1020, 5)->row, 9);
  EXPECT_EQ(index.Hit(1, 1070, 5)->row, 0);
  EXPECT_EQ(index.Hit(0, 697, 5)->row, 61);
  EXPECT_EQ(index.Hit(0, 690, 5), nullptr);
  EXPECT_EQ(index.Hit(2, 550, 0)->row, 60);
  EXPECT_EQ(index.Hit(7, 550, 0), nullptr);
}

// --- The window ------------------------------------------------------------------------------

ChannelContent Video(uint8_t channel) {
  ChannelContent c;
  c.channel = channel;
  c.video_frames = 10;
  return c;
}

Recording Made(uint64_t index, int64_t start, int64_t end, Grouping grouping,
               std::optional<uint8_t> channel, std::vector<ChannelContent> channels) {
  Recording r;
  r.index = index;
  r.start = start;
  r.end = end;
  r.position = 4096 * (index + 1);
  r.end_position = r.position + 1000;
  r.frames = static_cast<uint64_t>(end - start + 1) * 2;
  r.grouping = grouping;
  r.channel = channel;
  r.channels = std::move(channels);
  return r;
}

class Timeline : public ::testing::Test {
 protected:
  void SetUp() override {
    RecordingModel& model = test::Rows(w.dlg());
    model.SetSource("/evidence/disk.img");
    // The time grouping: channels 0 and 2 together, then 5 alone, then a row without channels.
    std::vector<RecordingModel::Row> time = {
        {Made(0, kT0, kT0 + 600, Grouping::kTime, {}, {Video(0), Video(2)}), true, false},
        {Made(1, kT0 + 1800, kT0 + 2400, Grouping::kTime, {}, {Video(5)}), true, false},
        {Made(2, kT0 + 3000, kT0 + 3600, Grouping::kTime, {}, {}), true, false},
    };
    // The camera grouping: each channel's runs.
    std::vector<RecordingModel::Row> camera = {
        {Made(0, kT0, kT0 + 600, Grouping::kCamera, 0, {Video(0)}), true, false},
        {Made(1, kT0, kT0 + 300, Grouping::kCamera, 2, {Video(2)}), true, false},
        {Made(2, kT0 + 400, kT0 + 600, Grouping::kCamera, 2, {Video(2)}), true, false},
        {Made(3, kT0 + 1800, kT0 + 2400, Grouping::kCamera, 5, {Video(5)}), true, false},
    };
    model.Append(std::move(time), Grouping::kTime);
    model.Append(std::move(camera), Grouping::kCamera);
  }

  // Opens the timeline from the list's menu, as a person does.
  gui::TimelineWindow* Open() {
    QTableView* list = test::List(w.dlg());
    const QPoint at = list->visualRect(list->model()->index(0, RecordingModel::kStart)).center();
    const test::MenuSeen menu = test::AnswerMenu(
        [&] {
          QContextMenuEvent event(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
          QApplication::sendEvent(list->viewport(), &event);
        },
        "时间轴");
    EXPECT_TRUE(menu.items.contains("时间轴")) << menu.items.join(' ').toStdString();
    auto* window = w.dlg().findChild<gui::TimelineWindow*>("timelineWindow");
    if (window == nullptr) return nullptr;
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
    return window;
  }

  TimelineView* View(gui::TimelineWindow* window) {
    return window->findChild<TimelineView*>("timelineView");
  }

  // The runs of bar-coloured pixels along the middle of `lane`, as [first, last] x.
  static std::vector<std::pair<int, int>> BarRuns(TimelineView* view, int lane) {
    const QImage image = view->viewport()->grab().toImage();
    const QRgb bar = view->palette().color(QPalette::Highlight).rgb();
    const int y = view->LaneRect(lane).center().y();
    std::vector<std::pair<int, int>> runs;
    for (int x = view->LabelWidth(); x < image.width(); ++x) {
      if (image.pixel(x, y) != bar) continue;
      if (!runs.empty() && runs.back().second == x - 1) {
        runs.back().second = x;
      } else {
        runs.push_back({x, x});
      }
    }
    return runs;
  }

  static QPoint InBar(TimelineView* view, int lane, int64_t start, int64_t end) {
    const double middle = (static_cast<double>(start) + static_cast<double>(end)) / 2;
    return {static_cast<int>(view->XOf(middle)), view->LaneRect(lane).center().y()};
  }

  test::Window w;
};

TEST_F(Timeline, TheMenuItemOpensItWithALanePerChannelAndBarsWhereTheirTimesAre) {
  gui::TimelineWindow* window = Open();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->windowTitle(), "时间轴 - " + QDir::toNativeSeparators("/evidence/disk.img"));
  TimelineView* view = View(window);
  ASSERT_NE(view, nullptr);

  // The time grouping: a row holding channels 0 and 2 lies in both their lanes; the row without
  // channels in the last lane.
  const std::vector<TimelineIndex::Lane>& lanes = view->Index().Lanes();
  QStringList names;
  for (const TimelineIndex::Lane& lane : lanes) names << TimelineView::LaneName(lane);
  EXPECT_EQ(names, QStringList({"通道 0", "通道 2", "通道 5", "未知通道"}));

  // Fitted: the first start a 42nd of the plot from its left, the last end as far from its right.
  const int plot = view->viewport()->width() - view->LabelWidth();
  EXPECT_NEAR(view->XOf(kT0), view->LabelWidth() + plot / 42.0, 1);
  EXPECT_NEAR(view->XOf(kT0 + 3600), view->LabelWidth() + plot * 41 / 42.0, 1);

  // Each lane's drawn bars begin and end within a pixel of their times.
  auto expect_runs = [&](int lane, std::vector<std::pair<int64_t, int64_t>> times) {
    const std::vector<std::pair<int, int>> runs = BarRuns(view, lane);
    ASSERT_EQ(runs.size(), times.size()) << "lane " << lane;
    for (size_t i = 0; i < runs.size(); ++i) {
      EXPECT_NEAR(runs[i].first, view->XOf(static_cast<double>(times[i].first)), 1) << lane;
      EXPECT_NEAR(runs[i].second + 1, view->XOf(static_cast<double>(times[i].second)), 1) << lane;
    }
  };
  expect_runs(0, {{kT0, kT0 + 600}});
  expect_runs(1, {{kT0, kT0 + 600}});
  expect_runs(2, {{kT0 + 1800, kT0 + 2400}});
  expect_runs(3, {{kT0 + 3000, kT0 + 3600}});

  // The camera grouping: channel 2's two runs, with the gap between them, in its own lane.
  w.dlg().findChild<QAction*>("cameraViewAction")->setChecked(true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Index().Lanes().size() == 3; }, test::kWaitMs));
  names.clear();
  for (const TimelineIndex::Lane& lane : view->Index().Lanes()) {
    names << TimelineView::LaneName(lane);
  }
  EXPECT_EQ(names, QStringList({"通道 0", "通道 2", "通道 5"}));
  view->viewport()->repaint();
  expect_runs(0, {{kT0, kT0 + 600}});
  expect_runs(1, {{kT0, kT0 + 300}, {kT0 + 400, kT0 + 600}});
  expect_runs(2, {{kT0 + 1800, kT0 + 2400}});
}

TEST_F(Timeline, AClickOnABarChoosesItsRowInTheListAndHoverShowsItsDetails) {
  // Many rows after the first three, so that the chosen row must be scrolled to.
  RecordingModel& model = test::Rows(w.dlg());
  std::vector<RecordingModel::Row> more;
  for (uint64_t i = 3; i < 300; ++i) {
    const int64_t start = kT0 + 4000 + static_cast<int64_t>(i) * 100;
    more.push_back({Made(i, start, start + 50, Grouping::kTime, {}, {Video(7)}), true, false});
  }
  model.Append(std::move(more), Grouping::kTime);
  gui::TimelineWindow* window = Open();
  ASSERT_NE(window, nullptr);
  TimelineView* view = View(window);
  const int lane7 = view->Index().LaneOf(7);
  ASSERT_GE(lane7, 0);

  // Zoom in on the last row (row 299) with the wheel, and click it.
  const int64_t start = kT0 + 4000 + 299 * 100;
  for (int i = 0; i < 20; ++i) {
    const QPointF at(view->XOf(static_cast<double>(start) + 25),
                     view->LaneRect(lane7).center().y());
    QWheelEvent wheel(at, view->viewport()->mapToGlobal(at), {}, {0, 120}, Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &wheel);
  }
  EXPECT_GT(view->XOf(static_cast<double>(start) + 50) - view->XOf(static_cast<double>(start)), 40);
  const QPoint at = InBar(view, lane7, start, start + 50);
  EXPECT_EQ(view->RowAt(at), 299);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);

  QTableView* list = test::List(w.dlg());
  EXPECT_EQ(list->currentIndex().row(), 299);
  EXPECT_EQ(list->selectionModel()->selectedRows(), QModelIndexList({model.index(299, 0)}));
  EXPECT_TRUE(list->viewport()->rect().intersects(list->visualRect(model.index(299, 0))));
  EXPECT_EQ(view->SelectedRow(), 299);

  // Hovering over it: the row's name, times and frames.
  QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
  QApplication::sendEvent(view->viewport(), &help);
  EXPECT_EQ(QToolTip::text(),
            "299.dav\n开始时间: 2023-11-15 07:38:20\n结束时间: 2023-11-15 07:39:10\n帧数: 102");
  // A click beside every bar chooses nothing.
  const QPoint beside(static_cast<int>(view->XOf(static_cast<double>(start) - 25)), at.y());
  EXPECT_EQ(view->RowAt(beside), -1);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, beside);
  EXPECT_EQ(list->currentIndex().row(), 299);
}

TEST_F(Timeline, ZoomsWithTheWheelAroundTheCursorDownToSecondsAndFitsAllAgain) {
  gui::TimelineWindow* window = Open();
  ASSERT_NE(window, nullptr);
  TimelineView* view = View(window);
  const double fitted = view->Scale().SecondsPerPixel();
  const QPointF at(view->LabelWidth() + 200, view->LaneRect(0).center().y());
  const double t = view->Scale().T(200);
  auto wheel = [&](int notches) {
    QWheelEvent event(at, view->viewport()->mapToGlobal(at), {}, {0, 120 * notches}, Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &event);
  };
  wheel(3);
  EXPECT_NEAR(view->Scale().T(200), t, 1e-3);
  EXPECT_NEAR(view->Scale().SecondsPerPixel(), fitted * std::pow(0.8, 3), 1e-9);
  EXPECT_TRUE(view->Ticks()[1].label.contains(QRegularExpression("^\\d\\d:\\d\\d$")));

  // Down to seconds: whole-second ticks, "hh:mm:ss".
  wheel(60);
  EXPECT_DOUBLE_EQ(view->Scale().SecondsPerPixel(), TimeScale::kMinSecondsPerPixel);
  const std::vector<Tick> ticks = view->Ticks();
  ASSERT_GE(ticks.size(), 2u);
  EXPECT_EQ(ticks[1].t - ticks[0].t, 1);
  EXPECT_TRUE(ticks[1].label.contains(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$")))
      << ticks[1].label.toStdString();
  EXPECT_GT(view->horizontalScrollBar()->maximum(), 0);

  // The button shows all again, as does the Home key after zooming out.
  window->findChild<QPushButton*>("fitButton")->click();
  EXPECT_DOUBLE_EQ(view->Scale().SecondsPerPixel(), fitted);
  EXPECT_EQ(view->horizontalScrollBar()->maximum(), 0);
  wheel(-10);
  QTest::keyClick(view, Qt::Key_Home);
  EXPECT_DOUBLE_EQ(view->Scale().SecondsPerPixel(), fitted);
}

TEST_F(Timeline, FollowsANewScanOfTheList) {
  gui::TimelineWindow* window = Open();
  ASSERT_NE(window, nullptr);
  TimelineView* view = View(window);
  ASSERT_EQ(view->Index().Bars(), 4u);  // the first row in two lanes

  // A new scan empties the list and names its source; its rows arrive and are shown fitted.
  RecordingModel& model = test::Rows(w.dlg());
  model.Clear();
  model.SetSource("/evidence/other.img");
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Index().Empty(); }, test::kWaitMs));
  EXPECT_EQ(window->windowTitle(), "时间轴 - " + QDir::toNativeSeparators("/evidence/other.img"));
  model.Append(
      {{Made(0, kT0 + 86400, kT0 + 86400 + 60, Grouping::kTime, {}, {Video(9)}), false, false}});
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Index().Bars() == 1; }, test::kWaitMs));
  EXPECT_EQ(view->Index().Lanes()[0].channel, 9);
  // One minute is fitted in the middle.
  EXPECT_NEAR(view->XOf(kT0 + 86400) + view->XOf(kT0 + 86400 + 60),
              2 * view->LabelWidth() + view->Scale().Width(), 1);
  EXPECT_LT(view->XOf(kT0 + 86400), view->LabelWidth() + view->Scale().Width() / 4.0);
  // An open row has no end in its hover text yet, as in the list.
  EXPECT_EQ(view->ToolTipText(0), "0.dav\n开始时间: 2023-11-15 22:13:20\n结束时间: \n帧数: 122");
}

TEST_F(Timeline, LanesThatDoNotFitScrollBeneathTheAxis) {
  // Forty more channels than the window has room for.
  RecordingModel& model = test::Rows(w.dlg());
  std::vector<RecordingModel::Row> more;
  for (uint64_t i = 3; i < 43; ++i) {
    const auto channel = static_cast<uint8_t>(10 + i);
    more.push_back({Made(i, kT0, kT0 + 3600, Grouping::kTime, {}, {Video(channel)}), true, false});
  }
  model.Append(std::move(more), Grouping::kTime);
  gui::TimelineWindow* window = Open();
  ASSERT_NE(window, nullptr);
  TimelineView* view = View(window);
  const int last = static_cast<int>(view->Index().Lanes().size()) - 1;
  ASSERT_EQ(last, 43);  // channels 0, 2, 5, 13 to 52, and the unknown lane
  QScrollBar* lanes = view->verticalScrollBar();
  ASSERT_GT(lanes->maximum(), 0);
  EXPECT_GT(view->LaneRect(last).top(), view->viewport()->height());

  // Scrolled to the end, the last channel's lane is in view below the axis and its bar answers.
  lanes->setValue(lanes->maximum());
  const int channel52 = view->Index().LaneOf(52);
  const QRect strip = view->LaneRect(channel52);
  EXPECT_GE(strip.top(), view->AxisHeight());
  EXPECT_LE(strip.bottom(), view->viewport()->height());
  const QPoint at = InBar(view, channel52, kT0, kT0 + 3600);
  EXPECT_EQ(view->RowAt(at), 42);
  // The axis stays on top: a point on it is in no lane.
  EXPECT_EQ(view->RowAt({at.x(), view->AxisHeight() / 2}), -1);
  const std::vector<std::pair<int, int>> runs = BarRuns(view, channel52);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_NEAR(runs[0].first, view->XOf(kT0), 1);
}

// Runs the program as a person does; returns its exit status.
int RunKorvane(const QStringList& args) {
  test::TempDir dir;
  std::vector<std::string> argv;
  for (const QString& a : args) argv.push_back(a.toStdString());
  test::ChildProcess program(KORVANE_BINARY, argv, dir.File("out"), dir.File("err"));
  return program.Wait();
}

TEST(TimelineProgram, DrawsTheTimelineOfAScanIntoAFile) {
  test::TempDir dir;
  testimage::ImageBuilder demo(0, testimage::Fill::kZeros);
  demo.bytes() = testimage::BuildDemoImage();
  test::WriteFile(dir.File("demo.img"), demo.bytes());
  const QString shot = QString::fromStdString(dir.File("timeline.png"));
  ASSERT_EQ(RunKorvane({"--screenshot", shot, "--scan",
                        QString::fromStdString(dir.File("demo.img")), "--timeline"}),
            0);
  // The timeline window's picture, not the main window's, with bars on it.
  const QImage picture = QImage(shot).convertToFormat(QImage::Format_RGB32);
  RecordingModel model;
  gui::TimelineWindow window(model, nullptr);
  EXPECT_EQ(picture.size(), window.size());
  const QRgb bar = window.View()->palette().color(QPalette::Highlight).rgb();
  int bar_pixels = 0;
  for (int y = 0; y < picture.height(); ++y) {
    for (int x = 0; x < picture.width(); ++x) bar_pixels += picture.pixel(x, y) == bar ? 1 : 0;
  }
  EXPECT_GT(bar_pixels, 100);
  // Without a picture to draw it has no use.
  EXPECT_EQ(RunKorvane({"--timeline"}), 2);
}

}  // namespace
}  // namespace korvane
