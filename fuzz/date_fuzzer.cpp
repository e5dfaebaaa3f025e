// SPDX-License-Identifier: GPL-3.0-or-later
// Date texts, their comparison and window bounds, and frame times, on arbitrary input.
//
// Checks: Atoi64 agrees with strtoll (same blanks, sign, saturation); a parsed date printed as
// "Y/M/D" parses back to itself; CompareDateText is antisymmetric and fails exactly when
// ParseDateWindow fails; bounds follow the dates (equal dates give equal bounds, later fields never
// give an earlier bound); a window whose end text is after its start text never accepts a frame
// outside [start, end); every packed frame time converts and formats without overflow, and
// in-range fields format as themselves; ParseCalendarDate takes exactly the texts of three runs of
// ASCII digits around two '/' that name a calendar date of the years 1 to 9999, and reads them as
// ParseDateText does. A clock offset ParseClockOffset takes is within its bound, its text holds
// only a sign, digits and ':', and FormatClockOffset's text of it reads back as the same offset;
// with it, a window accepts exactly the frames whose corrected time falls on one of its days.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datewindow/clock_offset.h"
#include "datewindow/date_text.h"
#include "fuzz/check.h"

namespace {

using namespace korvane;

void CheckAtoi64(const std::string& text) {
  // strtoll stops at the first NUL, Atoi64 at the first non-digit: the same for these texts.
  const int64_t got = Atoi64(text);
  errno = 0;
  const long long want = std::strtoll(text.c_str(), nullptr, 10);
  CHECK(got == want, "'" + text + "': " + std::to_string(got) + " != " + std::to_string(want));
}

void CheckRoundTrip(const std::string& text) {
  const auto d = ParseDateText(text);
  if (!d) return;
  const std::string printed =
      std::to_string(d->year) + "/" + std::to_string(d->month) + "/" + std::to_string(d->day);
  CHECK(ParseDateText(printed) == d, "'" + text + "' printed as '" + printed + "'");
}

bool IsCalendarDate(const DateText& d) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (d.year < -100000 || d.year > 100000 || d.month < 1 || d.month > 12 || d.day < 1) return false;
  const bool leap = d.year % 4 == 0 && (d.year % 100 != 0 || d.year % 400 == 0);
  return d.day <= kDays[d.month - 1] + (d.month == 2 && leap ? 1 : 0);
}

void CheckCalendarDate(const std::string& text) {
  const auto strict = ParseCalendarDate(text);
  int slashes = 0;
  bool digits_and_slashes = !text.empty();
  for (const char c : text) {
    if (c == '/')
      ++slashes;
    else if (c < '0' || c > '9')
      digits_and_slashes = false;
  }
  const auto loose = ParseDateText(text);
  const bool want = digits_and_slashes && slashes == 2 && text.back() != '/' && loose &&
                    IsCalendarDate(*loose) && loose->year >= 1 && loose->year <= 9999;
  CHECK(strict.ok() == want,
        "'" + text + "': " + (strict.ok() ? "taken" : strict.status().message()));
  if (strict.ok()) CHECK(*strict == *loose, "'" + text + "'");
}

void CheckPair(const std::string& a, const std::string& b, uint32_t frame) {
  const int ab = CompareDateText(a, b);
  const int ba = CompareDateText(b, a);
  CHECK(ab >= -2 && ab <= 1);
  if (ab == -2) {
    CHECK(ba == -2);
  } else {
    CHECK(ba == -ab, "antisymmetry: '" + a + "' '" + b + "'");
  }

  DateWindow window{123, 456};
  const int parsed = ParseDateWindow(a, b, window);
  CHECK(parsed == (ab == -2 ? 0 : 1));
  if (!parsed) {
    CHECK(window.start == 123 && window.end == 456, "a failed parse changed the window");
    return;
  }
  const DateText s = *ParseDateText(a);
  const DateText e = *ParseDateText(b);
  if (ab == 0) CHECK(window.start == window.end);
  if (s.year <= e.year && s.month <= e.month && s.day <= e.day) {
    CHECK(window.start <= window.end, "'" + a + "' '" + b + "'");
  }
  if (IsCalendarDate(s) && IsCalendarDate(e)) {
    CHECK((ab == 1) == (window.start < window.end) && (ab == -1) == (window.start > window.end),
          "calendar dates '" + a + "' '" + b + "'");
  }
  // A window that callers use (the end after the start) holds exactly the frames whose date value
  // lies in [start, end).
  if (ab != 1) return;
  const int64_t v = PackedDateValue(frame);
  CHECK(IsInDateWindow(frame, window) == (window.start <= v && v < window.end),
        "'" + a + "' '" + b + "' window " + std::to_string(window.start) + ".." +
            std::to_string(window.end) + " frame date " + std::to_string(v));
}

void CheckFrameTime(uint32_t packed) {
  const FrameTimeFields f = UnpackFrameTime(packed);
  const int64_t t = PackedTimeToUnixSeconds(packed);
  CHECK(PackedDateValue(packed) % kSecondsPerDay == 0);
  CHECK(t - PackedDateValue(packed) == f.hour * 3600 + f.minute * 60 + f.second);
  const std::string text = FormatUnixSeconds(t);
  const DateText d{f.year, f.month, f.day};
  if (IsCalendarDate(d) && f.hour < 24 && f.minute < 60 && f.second < 60) {
    char want[32];
    std::snprintf(want, sizeof want, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day,
                  f.hour, f.minute, f.second);
    CHECK(text == want, text + " != " + want);
    CHECK(PackFrameTime(f) == packed);
  }
}

void CheckClockOffset(const std::string& text, const std::string& from, const std::string& to,
                      uint32_t frame) {
  const Result<int64_t> offset = ParseClockOffset(text);
  if (!offset.ok()) return;
  const int64_t v = *offset;
  constexpr int64_t kBound = (kMaxClockOffsetDays + 1) * kSecondsPerDay - 1;
  CHECK(v >= -kBound && v <= kBound, "'" + text + "': " + std::to_string(v));
  CHECK(text.find_first_not_of("+-0123456789:") == std::string::npos, "'" + text + "' taken");
  const std::string printed = FormatClockOffset(v);
  const Result<int64_t> back = ParseClockOffset(printed);
  CHECK(back.ok() && *back == v, "'" + text + "' printed as '" + printed + "'");

  DateWindow window;
  if (CompareDateText(from, to) != 1 || ParseDateWindow(from, to, window) == 0) return;
  window.clock_offset = v;
  const int64_t t = PackedTimeToUnixSeconds(frame) - v;  // frame times and offsets are small
  const int64_t day = (t >= 0 ? t : t - (kSecondsPerDay - 1)) / kSecondsPerDay * kSecondsPerDay;
  CHECK(IsInDateWindow(frame, window) == (window.start <= day && day < window.end),
        "offset '" + text + "' window '" + from + "' '" + to + "' corrected day " +
            std::to_string(day));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint32_t frame = in.ConsumeIntegral<uint32_t>();
  const std::string a = in.ConsumeRandomLengthString(64);
  const std::string b = in.ConsumeRemainingBytesAsString();
  CheckAtoi64(a);
  CheckAtoi64(b);
  CheckRoundTrip(a);
  CheckRoundTrip(b);
  CheckCalendarDate(a);
  CheckCalendarDate(b);
  CheckPair(a, b, frame);
  CheckFrameTime(frame);
  CheckClockOffset(a, b, "9999/12/31", frame);
  CheckClockOffset(b, "2014/3/4", a, frame);
  return 0;
}
