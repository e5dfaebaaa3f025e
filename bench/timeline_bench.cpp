// SPDX-License-Identifier: GPL-3.0-or-later
// The timeline window with many recordings:
//   korvane-timeline-bench [RECORDINGS [PNG]]
// Fills a list with RECORDINGS (default 100,000) recordings of 16 cameras over a year, in the
// camera grouping, then times (off screen unless QT_QPA_PLATFORM says otherwise) opening the
// timeline window up to its first picture, painting it at fit-all, zooming it with the wheel,
// and hovering over it. With PNG, saves the picture at fit-all there.
#include <QApplication>
#include <QHelpEvent>
#include <QWheelEvent>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "app/korvane_app.h"
#include "app/recording_model.h"
#include "app/timeline_window.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Sixteen cameras, each recording in runs of one minute to two hours with gaps of up to an hour
// between, a whole day off now and then, and rarely some weeks.
std::vector<korvane::gui::RecordingModel::Row> Recordings(int count) {
  using korvane::Grouping;
  std::mt19937_64 random(18);
  std::vector<korvane::gui::RecordingModel::Row> rows;
  rows.reserve(static_cast<size_t>(count));
  constexpr int kCameras = 16;
  std::vector<int64_t> clock(kCameras, 1700000000);
  for (int i = 0; i < count; ++i) {
    const int camera = i % kCameras;
    korvane::Recording r;
    r.index = static_cast<uint64_t>(i);
    r.grouping = Grouping::kCamera;
    r.channel = static_cast<uint8_t>(camera);
    r.start = clock[static_cast<size_t>(camera)];
    r.end = r.start + 60 + static_cast<int64_t>(random() % 7200);
    r.frames = static_cast<uint64_t>(r.end - r.start + 1) * 25;
    r.position = static_cast<uint64_t>(i) << 20;
    r.end_position = r.position + (1 << 20);
    korvane::ChannelContent c;
    c.channel = static_cast<uint8_t>(camera);
    c.video_frames = r.frames;
    r.channels.push_back(c);
    int64_t gap = 1 + static_cast<int64_t>(random() % 3600);
    if (random() % 50 == 0) gap += 86400;  // a day off
    if (random() % 1500 == 0) gap += 86400 * (3 + static_cast<int64_t>(random() % 20));  // weeks
    clock[static_cast<size_t>(camera)] = r.end + gap;
    rows.push_back({r, true, false});
  }
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  CKorvaneApp::SetUp(app, korvane::gui::SystemLanguage());
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100000;

  korvane::gui::RecordingModel model;
  model.SetView(korvane::Grouping::kCamera);
  model.SetSource("bench.img");
  model.Append(Recordings(count), korvane::Grouping::kCamera);

  // Opening: the index built, the window shown and painted once.
  Clock::time_point start = Clock::now();
  korvane::gui::TimelineWindow window(model, nullptr);
  window.show();
  korvane::gui::TimelineView* view = window.View();
  // Painting is timed by drawing the view into a picture, as a screen would get it.
  auto paint = [view] { return view->viewport()->grab(); };
  paint();
  const double open_ms = Ms(start);
  std::printf("recordings %d in %zu lanes, %s to %s\n", count, view->Index().Lanes().size(),
              korvane::FormatUnixSeconds(view->Index().First()).c_str(),
              korvane::FormatUnixSeconds(view->Index().Last()).c_str());
  std::printf("open (index and first paint): %.1f ms\n", open_ms);

  constexpr int kPaints = 50;
  start = Clock::now();
  for (int i = 0; i < kPaints; ++i) paint();
  std::printf("paint at fit-all: %.2f ms\n", Ms(start) / kPaints);
  if (argc > 2) window.grab().save(QString::fromLocal8Bit(argv[2]));

  // Zooming in notch by notch around the middle down to seconds, painting after each.
  const QPointF middle(view->LabelWidth() + view->Scale().Width() / 2.0, 20);
  int notches = 0;
  start = Clock::now();
  while (view->Scale().SecondsPerPixel() > korvane::gui::TimeScale::kMinSecondsPerPixel) {
    QWheelEvent wheel(middle, view->viewport()->mapToGlobal(middle), {}, {0, 120}, Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &wheel);
    paint();
    ++notches;
  }
  std::printf("zoom by a wheel notch and paint: %.2f ms (%d notches to seconds)\n",
              Ms(start) / notches, notches);

  // Hovering over every few pixels of every lane at fit-all: the bar found and its text shown.
  view->FitAll();
  int hovers = 0, hits = 0;
  start = Clock::now();
  for (int lane = 0; lane < static_cast<int>(view->Index().Lanes().size()); ++lane) {
    const int y = view->LaneRect(lane).center().y();
    for (int x = view->LabelWidth(); x < view->viewport()->width(); x += 7) {
      QHelpEvent help(QEvent::ToolTip, {x, y}, view->viewport()->mapToGlobal(QPoint(x, y)));
      QApplication::sendEvent(view->viewport(), &help);
      hits += view->RowAt({x, y}) >= 0 ? 1 : 0;
      ++hovers;
    }
  }
  std::printf("hover (find the bar, show its text): %.3f ms (%d places, %d on a bar)\n",
              Ms(start) / hovers, hovers, hits);
  return 0;
}
