// SPDX-License-Identifier: GPL-3.0-or-later
// What the timeline window draws, worked out apart from the widget: where a time lies on screen
// (TimeScale), which ticks and labels the time axis has at a zoom (AxisTicks), and which bars lie
// in a lane between two times or under a point (TimelineIndex).
//
// Times are seconds since the epoch of the recorder's fields read as UTC, as the list shows them;
// the axis counts calendar units on the same scale, so its labels read like the list's times.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace korvane::gui {

// The mapping between times and the x of a view `width` pixels wide: `left` is the time at x = 0
// and `seconds_per_pixel` the zoom. Zooming is held between seconds (kMinSecondsPerPixel: one
// second is many pixels wide) and about two centuries across the view.
class TimeScale {
 public:
  static constexpr double kMinSecondsPerPixel = 0.005;
  static constexpr double kMaxSpan = 200.0 * 365.25 * 86400;  // seconds across the view at most

  TimeScale() = default;
  TimeScale(double left, double seconds_per_pixel, int width);

  double X(double t) const { return (t - left_) / seconds_per_pixel_; }
  double T(double x) const { return left_ + x * seconds_per_pixel_; }
  double Left() const { return left_; }
  double Right() const { return T(width_); }
  double SecondsPerPixel() const { return seconds_per_pixel_; }
  int Width() const { return width_; }

  // Shows [first, last] with a margin of a fortieth of the span on each side (a minute at least).
  void Fit(int64_t first, int64_t last, int width);
  // Multiplies the seconds per pixel by `factor` (< 1 zooms in), keeping the time at x in place.
  void ZoomAround(double x, double factor);
  void SetLeft(double left) { left_ = left; }
  void SetWidth(int width);

 private:
  void Limit();

  double left_ = 0;
  double seconds_per_pixel_ = 60;
  int width_ = 1;
};

// A tick of the time axis: its time, and its label.
struct Tick {
  int64_t t = 0;
  QString label;
};

// The axis's ticks between `left` and `right` (times) at `seconds_per_pixel`: steps of whole
// seconds, minutes, hours, days, months or years (1, 2, 5, 10, 15, 30 ...), the smallest whose
// labels, measured with `text_width` (pixels), stand apart by kLabelGap pixels at least. Labels
// are "2024", "2024-03", "2024-03-15", "10:30" or "10:30:15"; the first tick and each tick that
// begins a new day in steps under a day say the date too ("2024-03-15 10:30").
std::vector<Tick> AxisTicks(double left, double right, double seconds_per_pixel,
                            const std::function<int(const QString&)>& text_width);
inline constexpr int kLabelGap = 16;

// The bars of the timeline, in lanes, indexed by time so that the bars between two times, or
// under a point, are found in O(log n + bars found).
class TimelineIndex {
 public:
  struct Bar {
    int64_t start = 0;
    int64_t end = 0;
    int row = 0;  // the list's row
  };
  struct Lane {
    std::optional<uint8_t> channel;  // none: the lane of recordings whose channels are unknown
    std::vector<Bar> bars;           // by start
    std::vector<int64_t> max_end;    // max_end[i]: the latest end of bars[0..i]
  };

  // Adds a bar of `row` in the lane of `channel` (none: the unknown channels' lane).
  void Add(std::optional<uint8_t> channel, int64_t start, int64_t end, int row);
  // Sorts what was added into lanes by channel, the unknown lane last.
  void Finish();

  const std::vector<Lane>& Lanes() const { return lanes_; }
  bool Empty() const { return bars_ == 0; }
  size_t Bars() const { return bars_; }
  int64_t First() const { return first_; }  // the earliest start and the latest end
  int64_t Last() const { return last_; }
  // The lane of `channel`, or -1.
  int LaneOf(std::optional<uint8_t> channel) const;

  // Calls `visit` for each bar of `lane` that reaches into [t0, t1], in the order of their starts.
  void Visit(int lane, double t0, double t1, const std::function<void(const Bar&)>& visit) const;
  // The bar of `lane` under time t, allowing `slop` seconds each side: the one that holds t, else
  // the nearest; nullptr when there is none.
  const Bar* Hit(int lane, double t, double slop) const;

 private:
  std::vector<Lane> lanes_;
  size_t bars_ = 0;
  int64_t first_ = 0, last_ = 0;
};

}  // namespace korvane::gui
