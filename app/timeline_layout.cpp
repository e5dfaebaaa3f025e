// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/timeline_layout.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "scan/time_model.h"

namespace korvane::gui {

// --- TimeScale -------------------------------------------------------------------------------

TimeScale::TimeScale(double left, double seconds_per_pixel, int width)
    : left_(left), seconds_per_pixel_(seconds_per_pixel), width_(std::max(1, width)) {
  Limit();
}

void TimeScale::Limit() {
  const double most = kMaxSpan / width_;
  seconds_per_pixel_ = std::clamp(seconds_per_pixel_, kMinSecondsPerPixel, most);
}

void TimeScale::SetWidth(int width) {
  width_ = std::max(1, width);
  Limit();
}

void TimeScale::Fit(int64_t first, int64_t last, int width) {
  width_ = std::max(1, width);
  const double span = std::max(60.0, static_cast<double>(last - first) * (1 + 2.0 / 40));
  const double middle = (static_cast<double>(first) + static_cast<double>(last)) / 2;
  seconds_per_pixel_ = span / width_;
  Limit();
  left_ = middle - seconds_per_pixel_ * width_ / 2;
}

void TimeScale::ZoomAround(double x, double factor) {
  const double t = T(x);
  seconds_per_pixel_ *= factor;
  Limit();
  left_ = t - x * seconds_per_pixel_;
}

// --- AxisTicks -------------------------------------------------------------------------------

namespace {

using Civil = CivilTime;

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

Civil CivilOf(int64_t t) {
  return CivilFromUnixSeconds(t);
}

int64_t TimeOf(int64_t year, int month, int day) {
  return DaysFromCivil(year, month, day) * kSecondsPerDay;
}

int DaysInMonth(int64_t year, int month) {
  return static_cast<int>(DaysFromCivil(year, month + 1, 1) - DaysFromCivil(year, month, 1));
}

enum class Unit { kSecond, kDay, kMonth, kYear };
enum class Format { kSeconds, kMinutes, kDate, kMonth, kYear };

struct Step {
  Unit unit;
  int64_t n;      // units per step
  Format format;  // how its ticks are labelled
  double Seconds() const {
    switch (unit) {
      case Unit::kSecond:
        return static_cast<double>(n);
      case Unit::kDay:
        return static_cast<double>(n) * 86400.0;
      case Unit::kMonth:
        return static_cast<double>(n) * 28 * 86400.0;  // the shortest month: labels must fit it
      case Unit::kYear:
        return static_cast<double>(n) * 365 * 86400.0;
    }
    return 1;
  }
};

constexpr Step kSteps[] = {
    {Unit::kSecond, 1, Format::kSeconds},     {Unit::kSecond, 2, Format::kSeconds},
    {Unit::kSecond, 5, Format::kSeconds},     {Unit::kSecond, 10, Format::kSeconds},
    {Unit::kSecond, 15, Format::kSeconds},    {Unit::kSecond, 30, Format::kSeconds},
    {Unit::kSecond, 60, Format::kMinutes},    {Unit::kSecond, 120, Format::kMinutes},
    {Unit::kSecond, 300, Format::kMinutes},   {Unit::kSecond, 600, Format::kMinutes},
    {Unit::kSecond, 900, Format::kMinutes},   {Unit::kSecond, 1800, Format::kMinutes},
    {Unit::kSecond, 3600, Format::kMinutes},  {Unit::kSecond, 7200, Format::kMinutes},
    {Unit::kSecond, 10800, Format::kMinutes}, {Unit::kSecond, 21600, Format::kMinutes},
    {Unit::kSecond, 43200, Format::kMinutes}, {Unit::kDay, 1, Format::kDate},
    {Unit::kDay, 2, Format::kDate},           {Unit::kDay, 5, Format::kDate},
    {Unit::kDay, 10, Format::kDate},          {Unit::kDay, 15, Format::kDate},
    {Unit::kMonth, 1, Format::kMonth},        {Unit::kMonth, 2, Format::kMonth},
    {Unit::kMonth, 3, Format::kMonth},        {Unit::kMonth, 6, Format::kMonth},
    {Unit::kYear, 1, Format::kYear},          {Unit::kYear, 2, Format::kYear},
    {Unit::kYear, 5, Format::kYear},          {Unit::kYear, 10, Format::kYear},
    {Unit::kYear, 20, Format::kYear},         {Unit::kYear, 50, Format::kYear},
    {Unit::kYear, 100, Format::kYear},
};

QString DateText(const Civil& c) {
  return QString::asprintf("%04lld-%02d-%02d", static_cast<long long>(c.year), c.month, c.day);
}

QString Label(int64_t t, Format format, bool with_date) {
  const Civil c = CivilOf(t);
  switch (format) {
    case Format::kYear:
      return QString::asprintf("%04lld", static_cast<long long>(c.year));
    case Format::kMonth:
      return QString::asprintf("%04lld-%02d", static_cast<long long>(c.year), c.month);
    case Format::kDate:
      return DateText(c);
    case Format::kMinutes: {
      const QString time = QString::asprintf("%02d:%02d", c.hour, c.minute);
      return with_date ? DateText(c) + QLatin1Char(' ') + time : time;
    }
    case Format::kSeconds: {
      const QString time = QString::asprintf("%02d:%02d:%02d", c.hour, c.minute, c.second);
      return with_date ? DateText(c) + QLatin1Char(' ') + time : time;
    }
  }
  return {};
}

bool Within(int64_t t, double left, double right) {
  const auto x = static_cast<double>(t);
  return x >= left && x <= right;
}

// The ticks of `step` from the first at or after `left` to the last at or before `right`.
std::vector<int64_t> StepTicks(const Step& step, double left, double right) {
  std::vector<int64_t> ticks;
  const auto lo = static_cast<int64_t>(std::floor(left));
  const auto hi = static_cast<int64_t>(std::ceil(right));
  if (step.unit == Unit::kSecond) {
    for (int64_t t = FloorDiv(lo, step.n) * step.n; t <= hi; t += step.n) {
      if (Within(t, left, right)) ticks.push_back(t);
    }
    return ticks;
  }
  const Civil from = CivilOf(lo);
  const Civil to = CivilOf(hi);
  if (step.unit == Unit::kYear) {
    for (int64_t y = FloorDiv(from.year, step.n) * step.n; y <= to.year; y += step.n) {
      const int64_t t = TimeOf(y, 1, 1);
      if (Within(t, left, right)) ticks.push_back(t);
    }
    return ticks;
  }
  // Months, and days counted within each month from its first, so that each month begins with a
  // tick (the 1st, 6th, 11th ... for five days) and no tick is nearer the next month's first than a
  // step.
  for (int64_t y = from.year, m = from.month; y < to.year || (y == to.year && m <= to.month);) {
    if (step.unit == Unit::kMonth) {
      if ((m - 1) % step.n == 0) {
        const int64_t t = TimeOf(y, static_cast<int>(m), 1);
        if (Within(t, left, right)) ticks.push_back(t);
      }
    } else {
      const int days = DaysInMonth(y, static_cast<int>(m));
      for (int d = 1; d + step.n <= days + 1; d += static_cast<int>(step.n)) {
        const int64_t t = TimeOf(y, static_cast<int>(m), d);
        if (Within(t, left, right)) ticks.push_back(t);
      }
    }
    if (++m > 12) m = 1, ++y;
  }
  return ticks;
}

}  // namespace

std::vector<Tick> AxisTicks(double left, double right, double seconds_per_pixel,
                            const std::function<int(const QString&)>& text_width) {
  if (!(right > left) || !(seconds_per_pixel > 0)) return {};
  const Step* chosen = &kSteps[std::size(kSteps) - 1];
  const int64_t sample = static_cast<int64_t>(std::floor(left));
  for (const Step& step : kSteps) {
    // The widest label of the step: the one with the date, where it has one.
    const int widest = text_width(Label(sample, step.format, true));
    if (step.Seconds() / seconds_per_pixel >= widest + kLabelGap) {
      chosen = &step;
      break;
    }
  }
  std::vector<Tick> ticks;
  int64_t last_day = 0;
  for (int64_t t : StepTicks(*chosen, left, right)) {
    const int64_t day = FloorDiv(t, kSecondsPerDay);
    const bool with_date = ticks.empty() || day != last_day;
    last_day = day;
    ticks.push_back({t, Label(t, chosen->format, with_date)});
  }
  return ticks;
}

// --- TimelineIndex ---------------------------------------------------------------------------

void TimelineIndex::Add(std::optional<uint8_t> channel, int64_t start, int64_t end, int row) {
  const int at = LaneOf(channel);
  Lane* lane = nullptr;
  if (at >= 0) {
    lane = &lanes_[static_cast<size_t>(at)];
  } else {
    lanes_.push_back({channel, {}, {}});
    lane = &lanes_.back();
  }
  if (end < start) std::swap(start, end);
  lane->bars.push_back({start, end, row});
  first_ = bars_ == 0 ? start : std::min(first_, start);
  last_ = bars_ == 0 ? end : std::max(last_, end);
  ++bars_;
}

void TimelineIndex::Finish() {
  // The unknown channels' lane sorts after every channel.
  auto key = [](const Lane& lane) { return lane.channel ? int{*lane.channel} : 256; };
  std::sort(lanes_.begin(), lanes_.end(),
            [&](const Lane& a, const Lane& b) { return key(a) < key(b); });
  for (Lane& lane : lanes_) {
    std::stable_sort(lane.bars.begin(), lane.bars.end(),
                     [](const Bar& a, const Bar& b) { return a.start < b.start; });
    lane.max_end.resize(lane.bars.size());
    int64_t most = INT64_MIN;
    for (size_t i = 0; i < lane.bars.size(); ++i) {
      most = std::max(most, lane.bars[i].end);
      lane.max_end[i] = most;
    }
  }
}

int TimelineIndex::LaneOf(std::optional<uint8_t> channel) const {
  // Few lanes (a recorder's channels): a look along them is quickest.
  for (size_t i = 0; i < lanes_.size(); ++i) {
    if (lanes_[i].channel == channel) return static_cast<int>(i);
  }
  return -1;
}

void TimelineIndex::Visit(int lane, double t0, double t1,
                          const std::function<void(const Bar&)>& visit) const {
  if (lane < 0 || static_cast<size_t>(lane) >= lanes_.size()) return;
  const Lane& l = lanes_[static_cast<size_t>(lane)];
  // Bars before the first whose running latest end reaches t0 all end before it.
  auto first = std::lower_bound(l.max_end.begin(), l.max_end.end(), t0,
                                [](int64_t end, double t) { return static_cast<double>(end) < t; });
  for (size_t i = static_cast<size_t>(first - l.max_end.begin());
       i < l.bars.size() && static_cast<double>(l.bars[i].start) <= t1; ++i) {
    if (static_cast<double>(l.bars[i].end) >= t0) visit(l.bars[i]);
  }
}

const TimelineIndex::Bar* TimelineIndex::Hit(int lane, double t, double slop) const {
  const Bar* best = nullptr;
  double best_distance = 0;
  Visit(lane, t - slop, t + slop, [&](const Bar& bar) {
    const auto start = static_cast<double>(bar.start);
    const auto end = static_cast<double>(bar.end);
    const double distance = t < start ? start - t : t > end ? t - end : 0;
    // Of bars at the same distance the later one wins: it is drawn over the others.
    if (best == nullptr || distance <= best_distance) {
      best = &bar;
      best_distance = distance;
    }
  });
  return best;
}

}  // namespace korvane::gui
