// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/time_model.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

namespace korvane {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int64_t SatAdd(int64_t a, int64_t b) {
  if (b > 0 && a > kMax - b) return kMax;
  if (b < 0 && a < kMin - b) return kMin;
  return a + b;
}

int64_t SatMul(int64_t a, int64_t b) {
  if (a == 0 || b == 0) return 0;
  const bool negative = (a < 0) != (b < 0);
  // Compare magnitudes without negating kMin.
  if (a > 0 ? (b > 0 ? a > kMax / b : b < kMin / a) : (b > 0 ? a < kMin / b : a < kMax / b)) {
    return negative ? kMin : kMax;
  }
  return a * b;
}

// Beyond this many years from the epoch a day count (and its seconds) no longer matters: every
// frame lies between 1999 and 2068, so such a bound is before or after all of them.
constexpr int64_t kYearLimit = int64_t{1} << 40;

}  // namespace

FrameTimeFields UnpackFrameTime(uint32_t w) {
  return FrameTimeFields{
      static_cast<int>(2000 + ((w >> 26) & 0x3F)), static_cast<int>((w >> 22) & 0x0F),
      static_cast<int>((w >> 17) & 0x1F),          static_cast<int>((w >> 12) & 0x1F),
      static_cast<int>((w >> 6) & 0x3F),           static_cast<int>(w & 0x3F)};
}

uint32_t PackFrameTime(const FrameTimeFields& f) {
  return (static_cast<uint32_t>(f.year - 2000) & 0x3Fu) << 26 |
         (static_cast<uint32_t>(f.month) & 0x0Fu) << 22 |
         (static_cast<uint32_t>(f.day) & 0x1Fu) << 17 |
         (static_cast<uint32_t>(f.hour) & 0x1Fu) << 12 |
         (static_cast<uint32_t>(f.minute) & 0x3Fu) << 6 | (static_cast<uint32_t>(f.second) & 0x3Fu);
}

int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  // Carry the month into the year first (month 0 is December of the year before).
  if (month == kMin) return kMin;  // month - 1 would overflow; such a date precedes every year
  const int64_t month0 = month - 1;
  const int64_t y = SatAdd(year, FloorDiv(month0, 12));
  const int64_t m = (month0 % 12 + 12) % 12 + 1;  // 1..12, without multiplying back
  if (y > kYearLimit) return kMax;
  if (y < -kYearLimit) return kMin;
  // Days from 1970-01-01 to the first of that month (proleptic Gregorian, after H. Hinnant).
  const int64_t ya = y - (m <= 2 ? 1 : 0);
  const int64_t era = FloorDiv(ya, 400);
  const int64_t yoe = ya - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t first = era * 146097 + doe - 719468;
  // Then the day, carried like any other count of days (day 0 is the last of the month before).
  return SatAdd(first, SatAdd(day, -1));
}

int64_t PackedTimeToUnixSeconds(uint32_t w) {
  const FrameTimeFields f = UnpackFrameTime(w);
  return DaysFromCivil(f.year, f.month, f.day) * kSecondsPerDay + f.hour * 3600 + f.minute * 60 +
         f.second;
}

int64_t PackedDateValue(uint32_t w) {
  const FrameTimeFields f = UnpackFrameTime(w);
  return DaysFromCivil(f.year, f.month, f.day) * kSecondsPerDay;
}

int64_t DateValue(int64_t year, int64_t month, int64_t day) {
  return SatMul(DaysFromCivil(year, month, day), kSecondsPerDay);
}

CivilTime CivilFromUnixSeconds(int64_t t) {
  const int64_t days = FloorDiv(t, kSecondsPerDay);
  // The time of day without multiplying the days back: days * 86400 overflows near INT64_MIN.
  const int64_t secs = (t % kSecondsPerDay + kSecondsPerDay) % kSecondsPerDay;
  // Civil date of a day count (inverse of DaysFromCivil).
  const int64_t z = days + 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return {yoe + era * 400 + (m <= 2 ? 1 : 0),
          static_cast<int>(m),
          static_cast<int>(d),
          static_cast<int>(secs / 3600),
          static_cast<int>(secs % 3600 / 60),
          static_cast<int>(secs % 60)};
}

std::string FormatUnixSeconds(int64_t t) {
  const CivilTime c = CivilFromUnixSeconds(t);
  const int64_t y = c.year;
  char text[128];
  // A year before 1 keeps four digits after its sign ("-0001"), as ISO 8601 writes it.
  std::snprintf(text, sizeof text, "%s%04" PRId64 "-%02d-%02d %02d:%02d:%02d", y < 0 ? "-" : "",
                y < 0 ? -y : y, c.month, c.day, c.hour, c.minute, c.second);
  return text;
}

int64_t CorrectedTime(int64_t recorder_time, int64_t clock_offset) {
  if (clock_offset == kMin) return SatAdd(SatAdd(recorder_time, kMax), 1);
  return SatAdd(recorder_time, -clock_offset);
}

std::string FormatClockOffset(int64_t clock_offset) {
  // Magnitude as unsigned, so that the most negative offset has one too.
  const uint64_t a = clock_offset < 0 ? uint64_t{0} - static_cast<uint64_t>(clock_offset)
                                      : static_cast<uint64_t>(clock_offset);
  const uint64_t days = a / kSecondsPerDay, rest = a % kSecondsPerDay;
  char text[64];
  if (days > 0) {
    std::snprintf(text, sizeof text, "%c%" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64,
                  clock_offset < 0 ? '-' : '+', days, rest / 3600, rest % 3600 / 60, rest % 60);
  } else {
    std::snprintf(text, sizeof text, "%c%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64,
                  clock_offset < 0 ? '-' : '+', rest / 3600, rest % 3600 / 60, rest % 60);
  }
  return text;
}

bool IsInDateWindow(uint32_t packed, const DateWindow& window) {
  if (window.IsOpen()) return true;
  if (window.clock_offset != 0) {
    // The bounds are whole days, so the corrected time lies in [start, end) exactly when its day
    // does.
    const int64_t t = CorrectedTime(PackedTimeToUnixSeconds(packed), window.clock_offset);
    return window.start <= t && t < window.end;
  }
  const int64_t v = PackedDateValue(packed);
  return window.start <= v && v < window.end;
}

}  // namespace korvane
