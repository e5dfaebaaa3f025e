// SPDX-License-Identifier: GPL-3.0-or-later
// Frame times, date values and their texts.
//
// A frame header carries its recording time as one packed little-endian word at bytes 16-19:
//   bits 0-5 second, 6-11 minute, 12-16 hour, 17-21 day, 22-25 month, 26-31 year - 2000.
// No field is range-checked. A frame time is the number of seconds since 1970-01-01 00:00:00 of
// the fields read as UTC, with out-of-range fields carried the way timegm() carries them (month 0
// is December of the year before, day 0 is the last day of the month before, hour 24 is 00:00 of
// the next day, and so on). A date value is a day's number times 86,400: the frame time with the
// time of day left out. Window bounds are date values on the same scale.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

inline constexpr int64_t kSecondsPerDay = 86400;

struct FrameTimeFields {
  int year;  // full year, 2000 + the stored field
  int month;
  int day;
  int hour;
  int minute;
  int second;
};

FrameTimeFields UnpackFrameTime(uint32_t packed);
uint32_t PackFrameTime(const FrameTimeFields& f);  // fields are masked to their bit widths

// Days since 1970-01-01 of year/month/day with month and day carried like timegm(). Saturates
// instead of overflowing for years far outside any calendar.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day);

// The calendar fields of a time in seconds since the epoch (proleptic Gregorian, UTC), exact for
// every int64_t.
struct CivilTime {
  int64_t year;
  int month, day, hour, minute, second;
};
CivilTime CivilFromUnixSeconds(int64_t t);

// Seconds since the epoch of a packed frame time.
int64_t PackedTimeToUnixSeconds(uint32_t packed);

// The frame's date value: its day's number times 86,400.
int64_t PackedDateValue(uint32_t packed);

// The date value of a calendar date (used for window bounds). Saturating.
int64_t DateValue(int64_t year, int64_t month, int64_t day);

// "YYYY-MM-DD hh:mm:ss" of a time in seconds since the epoch. A year outside 1 to 9999 is written
// as it falls, with its sign: "0000-12-31 23:00:00", "-0001-...", "10000-01-01 00:00:00".
std::string FormatUnixSeconds(int64_t t);

// Clock correction. The recorder's clock was `clock_offset` seconds ahead of the true time (behind
// when negative); the corrected time of a recorder time is the recorder time minus the offset.
// Every output that shows corrected times gets them here. The arithmetic saturates at the ends of
// 64 bits rather than wrapping (no frame time comes near them: frames lie between 1999 and 2064,
// and an offset is at most 36,500 days).
int64_t CorrectedTime(int64_t recorder_time, int64_t clock_offset);

// The corrected time's text, as FormatUnixSeconds writes it.
inline std::string CorrectedText(int64_t recorder_time, int64_t clock_offset) {
  return FormatUnixSeconds(CorrectedTime(recorder_time, clock_offset));
}

// An offset's text, always signed: "+01:30:00" below a day, "-2:03:04:05" (days first) from a day
// on. Read back by ParseClockOffset (datewindow/clock_offset.h).
std::string FormatClockOffset(int64_t clock_offset);

// The date window: frames whose date value v satisfies start <= v < end are accepted.
// Both bounds 0 means that there is no window and every frame is accepted.
//
// With a clock offset the bounds are in corrected time: a frame is accepted when its corrected
// time (its time in seconds, minus the offset) lies in [start, end), that is, when it falls on one
// of the window's days once corrected. A frame whose fields carry past midnight (hour 24 or more)
// then counts on the day its time carries to; without an offset it counts on the day its fields
// name, as it always has.
struct DateWindow {
  int64_t start = 0;
  int64_t end = 0;
  int64_t clock_offset = 0;  // seconds the recorder's clock was ahead; 0: the recorder's own time
  bool IsOpen() const { return start == 0 && end == 0; }
};

bool IsInDateWindow(uint32_t packed, const DateWindow& window);

}  // namespace korvane
