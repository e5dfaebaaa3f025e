// SPDX-License-Identifier: GPL-3.0-or-later
// The clock offset: its text, the corrected times every output shows, and the date window in
// corrected time.
#include "datewindow/clock_offset.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "datewindow/date_text.h"
#include "scan/time_model.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using testimage::PackDate;

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = kSecondsPerDay;

TEST(ClockOffset, ReadsBothFormsWithTheirSign) {
  EXPECT_EQ(*ParseClockOffset("01:30:00"), 90 * 60);
  EXPECT_EQ(*ParseClockOffset("+01:30:00"), 90 * 60);
  EXPECT_EQ(*ParseClockOffset("-01:30:00"), -90 * 60);
  EXPECT_EQ(*ParseClockOffset("1:00:05"), kHour + 5);
  EXPECT_EQ(*ParseClockOffset("36:00:00"), 36 * kHour);
  EXPECT_EQ(*ParseClockOffset("99:59:59"), 99 * kHour + 59 * 60 + 59);
  EXPECT_EQ(*ParseClockOffset("00:00:00"), 0);
  EXPECT_EQ(*ParseClockOffset("-00:00:01"), -1);
  EXPECT_EQ(*ParseClockOffset("2:03:04:05"), 2 * kDay + 3 * kHour + 4 * 60 + 5);
  EXPECT_EQ(*ParseClockOffset("-0:23:59:59"), -(kDay - 1));
  EXPECT_EQ(*ParseClockOffset("0036500:00:00:00"), 36500 * kDay);
  EXPECT_EQ(*ParseClockOffset("-36500:23:59:59"), -(36501 * kDay - 1));
}

TEST(ClockOffset, RefusesAnythingElseSayingWhy) {
  struct Case {
    const char* text;
    const char* why;
  };
  const Case cases[] = {
      {"", "not of the form"},
      {"-", "not of the form"},
      {"+-01:00:00", "characters other than"},
      {"01:00", "not of the form"},
      {"1:2:03:04:05", "not of the form"},
      {"01::00", "not of the form"},
      {"01:00:00:", "not of the form"},
      {":01:00:00", "not of the form"},
      {" 01:00:00", "characters other than"},
      {"01:00:00 ", "characters other than"},
      {"01:00:00\n", "characters other than"},
      {"01.00.00", "characters other than"},
      {"\xef\xbc\x91:00:00", "characters other than"},  // a full-width 1
      {"01:00:0x", "characters other than"},
      {"1h", "characters other than"},
      {"100:00:00", "hours must be one or two digits"},
      {"1:24:00:00", "hours must be from 0 to 23"},
      {"1:123:00:00", "hours must be from 0 to 23"},
      {"01:60:00", "minutes must be two digits"},
      {"01:5:00", "minutes must be two digits"},
      {"01:005:00", "minutes must be two digits"},
      {"01:00:60", "seconds must be two digits"},
      {"01:00:7", "seconds must be two digits"},
      {"36501:00:00:00", "days must be from 0 to 36500"},
      {"99999999999999999999999:00:00:00", "days must be from 0 to 36500"},
  };
  for (const Case& c : cases) {
    const Result<int64_t> parsed = ParseClockOffset(c.text);
    ASSERT_FALSE(parsed.ok()) << c.text;
    EXPECT_EQ(parsed.status().code(), ErrorCode::kUsage) << c.text;
    EXPECT_NE(parsed.status().message().find(c.why), std::string::npos)
        << c.text << ": " << parsed.status().message();
  }
}

TEST(ClockOffset, TextReadsBackAsTheSameOffset) {
  EXPECT_EQ(FormatClockOffset(0), "+00:00:00");
  EXPECT_EQ(FormatClockOffset(90 * 60), "+01:30:00");
  EXPECT_EQ(FormatClockOffset(-1), "-00:00:01");
  EXPECT_EQ(FormatClockOffset(kDay - 1), "+23:59:59");
  EXPECT_EQ(FormatClockOffset(kDay), "+1:00:00:00");
  EXPECT_EQ(FormatClockOffset(-(2 * kDay + 3 * kHour + 4 * 60 + 5)), "-2:03:04:05");
  EXPECT_EQ(FormatClockOffset(INT64_MIN).front(), '-');
  for (const int64_t offset : {int64_t{0}, int64_t{59}, -kHour, 99 * kHour, -(kDay + 1),
                               36500 * kDay + kDay - 1, -(36500 * kDay + kDay - 1)}) {
    EXPECT_EQ(*ParseClockOffset(FormatClockOffset(offset)), offset) << offset;
  }
}

TEST(CorrectedTime, IsExactAcrossDayMonthYearAndLeapDay) {
  auto corrected = [](int y, int mo, int d, int h, int mi, int s, int64_t offset) {
    return CorrectedText(PackedTimeToUnixSeconds(PackDate(y, mo, d, h, mi, s)), offset);
  };
  // Ahead by an hour: the first hour of a day belongs to the day before.
  EXPECT_EQ(corrected(2014, 3, 5, 0, 30, 0, kHour), "2014-03-04 23:30:00");
  EXPECT_EQ(corrected(2014, 3, 1, 0, 0, 0, 1), "2014-02-28 23:59:59");
  EXPECT_EQ(corrected(2016, 3, 1, 0, 0, 0, 1), "2016-02-29 23:59:59");  // leap year
  EXPECT_EQ(corrected(2000, 3, 1, 0, 0, 0, 1), "2000-02-29 23:59:59");  // leap by 400
  EXPECT_EQ(corrected(2015, 1, 1, 0, 0, 0, 1), "2014-12-31 23:59:59");
  // Behind: corrected times are later.
  EXPECT_EQ(corrected(2016, 2, 28, 23, 0, 0, -kHour), "2016-02-29 00:00:00");
  EXPECT_EQ(corrected(2015, 2, 28, 23, 0, 0, -kHour), "2015-03-01 00:00:00");
  EXPECT_EQ(corrected(2014, 12, 31, 23, 59, 59, -1), "2015-01-01 00:00:00");
  EXPECT_EQ(corrected(2014, 3, 4, 10, 0, 0, -(2 * kDay + kHour)), "2014-03-06 11:00:00");
  // A clock reset to its first year, years behind.
  EXPECT_EQ(corrected(2000, 1, 1, 0, 0, 0, -*ParseClockOffset("9497:12:00:00")),
            "2026-01-01 12:00:00");
  EXPECT_EQ(corrected(2014, 3, 4, 10, 0, 0, 0), "2014-03-04 10:00:00");
}

TEST(CorrectedTime, NeverWrapsAtTheEndsOfTheRange) {
  const int64_t year1 = DaysFromCivil(1, 1, 1) * kDay;
  const int64_t year9999 = DaysFromCivil(9999, 12, 31) * kDay + kDay - 1;
  // Past either end of the calendar the year is written as it falls, with its sign.
  EXPECT_EQ(CorrectedText(year1, 1), "0000-12-31 23:59:59");
  EXPECT_EQ(CorrectedText(year1, 366 * kDay + 1), "-0001-12-31 23:59:59");
  EXPECT_EQ(CorrectedText(year9999, -1), "10000-01-01 00:00:00");
  // 64-bit ends: saturated, never wrapped to the other end.
  EXPECT_EQ(CorrectedTime(INT64_MIN + 5, 10), INT64_MIN);
  EXPECT_EQ(CorrectedTime(INT64_MAX - 5, -10), INT64_MAX);
  EXPECT_EQ(CorrectedTime(0, INT64_MIN), INT64_MAX);
  EXPECT_EQ(CorrectedTime(-5, INT64_MIN), INT64_MAX - 4);
  EXPECT_EQ(CorrectedTime(INT64_MIN, INT64_MIN), 0);
  EXPECT_FALSE(CorrectedText(INT64_MIN, 1).empty());
  EXPECT_FALSE(CorrectedText(INT64_MAX, -1).empty());
}

// The window's days are corrected days: a frame is kept or dropped by the day it falls on once
// its time is corrected.
TEST(CorrectedTime, DateWindowKeepsFramesByTheirCorrectedDay) {
  DateWindow window;
  ASSERT_EQ(ParseDateWindow("2014/3/4", "2014/3/5", window), 1);
  const uint32_t after_midnight = PackDate(2014, 3, 5, 0, 30, 0);
  const uint32_t before_midnight = PackDate(2014, 3, 4, 23, 30, 0);
  const uint32_t first_second = PackDate(2014, 3, 4, 0, 0, 0);
  EXPECT_FALSE(IsInDateWindow(after_midnight, window));
  EXPECT_TRUE(IsInDateWindow(before_midnight, window));

  window.clock_offset = kHour;  // ahead: 00:30 on the 5th was 23:30 on the 4th
  EXPECT_TRUE(IsInDateWindow(after_midnight, window));
  EXPECT_TRUE(IsInDateWindow(before_midnight, window));
  EXPECT_FALSE(IsInDateWindow(first_second, window));  // 23:00 on the 3rd
  EXPECT_TRUE(IsInDateWindow(PackDate(2014, 3, 5, 0, 59, 59), window));
  EXPECT_FALSE(IsInDateWindow(PackDate(2014, 3, 5, 1, 0, 0), window));

  window.clock_offset = -kHour;  // behind: 23:30 on the 4th was 00:30 on the 5th
  EXPECT_FALSE(IsInDateWindow(before_midnight, window));
  EXPECT_TRUE(IsInDateWindow(first_second, window));
  EXPECT_TRUE(IsInDateWindow(PackDate(2014, 3, 4, 22, 59, 59), window));
  EXPECT_FALSE(IsInDateWindow(PackDate(2014, 3, 3, 22, 59, 59), window));
  EXPECT_TRUE(IsInDateWindow(PackDate(2014, 3, 3, 23, 0, 0), window));

  // Across the leap day, by days and seconds.
  ASSERT_EQ(ParseDateWindow("2016/2/29", "2016/3/1", window), 1);
  window.clock_offset = -(kDay + 1);
  EXPECT_TRUE(IsInDateWindow(PackDate(2016, 2, 27, 23, 59, 59), window));
  EXPECT_FALSE(IsInDateWindow(PackDate(2016, 2, 27, 23, 59, 58), window));
  EXPECT_FALSE(IsInDateWindow(PackDate(2016, 2, 28, 23, 59, 59), window));

  // Without a window every frame is kept, whatever the offset.
  EXPECT_TRUE(IsInDateWindow(after_midnight, DateWindow{0, 0, kHour}));
}

}  // namespace
}  // namespace korvane
