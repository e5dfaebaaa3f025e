// SPDX-License-Identifier: GPL-3.0-or-later
#include "datewindow/date_text.h"

#include <gtest/gtest.h>

#include "tools/image_builder.h"

namespace korvane {
namespace {

using testimage::PackDate;

TEST(Atoi64, ConvertsLikeTheRuntime) {
  EXPECT_EQ(Atoi64(""), 0);
  EXPECT_EQ(Atoi64("abc"), 0);
  EXPECT_EQ(Atoi64("  \t+42x"), 42);
  EXPECT_EQ(Atoi64("-17"), -17);
  EXPECT_EQ(Atoi64("0004"), 4);
  EXPECT_EQ(Atoi64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(Atoi64("9223372036854775808"), INT64_MAX);
  EXPECT_EQ(Atoi64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(Atoi64("-99999999999999999999999"), INT64_MIN);
  EXPECT_EQ(Atoi64("123456789012345678901234567890"), INT64_MAX);
}

TEST(DateText, ParsesYearMonthDay) {
  EXPECT_EQ(ParseDateText("2014/3/4"), (DateText{2014, 3, 4}));
  EXPECT_EQ(ParseDateText("2014/03/04"), (DateText{2014, 3, 4}));
  EXPECT_EQ(ParseDateText("2014/3/4 10:20:30"), (DateText{2014, 3, 4}));
  EXPECT_EQ(ParseDateText("2014/3/4/9"), (DateText{2014, 3, 4}));
  EXPECT_EQ(ParseDateText("2014/3/"), (DateText{2014, 3, 0}));
  EXPECT_EQ(ParseDateText("14/13/0"), (DateText{14, 13, 0}));
  EXPECT_FALSE(ParseDateText("/3/4"));
  EXPECT_FALSE(ParseDateText("2014//4"));
  EXPECT_FALSE(ParseDateText("2014-03-04"));
  EXPECT_FALSE(ParseDateText("2014/3"));
  EXPECT_FALSE(ParseDateText(""));
}

TEST(DateText, ComparesFieldByField) {
  EXPECT_EQ(CompareDateText("2014/3/4", "2014/3/5"), 1);
  EXPECT_EQ(CompareDateText("2014/3/4", "2014/03/04"), 0);
  EXPECT_EQ(CompareDateText("2014/3/5", "2014/3/4"), -1);
  EXPECT_EQ(CompareDateText("2014/12/1", "2015/1/1"), 1);
  EXPECT_EQ(CompareDateText("2014/1/31", "2014/2/1"), 1);
  EXPECT_EQ(CompareDateText("2014-3-4", "2014/3/5"), -2);
  EXPECT_EQ(CompareDateText("2014/3/4", "/3/5"), -2);
}

TEST(DateText, WindowBoundsAreDateValues) {
  DateWindow window;
  ASSERT_EQ(ParseDateWindow("2014/3/4", "2014/3/5", window), 1);
  EXPECT_EQ(window.start, 1393891200);
  EXPECT_EQ(window.end, 1393977600);

  // 31 January is a day of its own now: the window holds it and nothing else.
  ASSERT_EQ(ParseDateWindow("2014/1/31", "2014/2/1", window), 1);
  EXPECT_TRUE(IsInDateWindow(PackDate(2014, 1, 31, 12, 0, 0), window));
  EXPECT_FALSE(IsInDateWindow(PackDate(2014, 1, 30, 23, 59, 59), window));
  EXPECT_FALSE(IsInDateWindow(PackDate(2014, 2, 1, 0, 0, 0), window));

  // Two-digit years are years 14 and 15: before every frame.
  ASSERT_EQ(ParseDateWindow("14/3/4", "15/3/4", window), 1);
  EXPECT_LT(window.start, 0);
  EXPECT_FALSE(IsInDateWindow(PackDate(2000, 1, 1, 0, 0, 0), window));
  EXPECT_FALSE(IsInDateWindow(PackDate(2063, 15, 31, 31, 63, 63), window));

  // Huge numbers saturate rather than wrap around into the frames' years.
  ASSERT_EQ(ParseDateWindow("1/1/1", "99999999999999999999/1/1", window), 1);
  EXPECT_EQ(window.end, INT64_MAX);
  EXPECT_TRUE(IsInDateWindow(PackDate(2014, 3, 4, 0, 0, 0), window));
}

TEST(DateText, AnEmptyWindowOnTheFirstDayOf1970StaysEmpty) {
  // The texts differ, so the end counts as later; both carry to 1970-01-01, whose date value is
  // 0, and a window of two zero bounds would mean "no window".
  ASSERT_EQ(CompareDateText("1969/12/32", "1970/1/1"), 1);
  DateWindow window;
  ASSERT_EQ(ParseDateWindow("1969/12/32", "1970/1/1", window), 1);
  EXPECT_FALSE(window.IsOpen());
  EXPECT_FALSE(IsInDateWindow(PackDate(2014, 3, 4, 0, 0, 0), window));
  EXPECT_EQ(window.start, window.end);
}

TEST(DateText, FailedParseLeavesTheWindowAlone) {
  DateWindow window{11, 22};
  EXPECT_EQ(ParseDateWindow("2014/3/4", "2014-3-5", window), 0);
  EXPECT_EQ(ParseDateWindow("x", "2014/3/5", window), 0);
  EXPECT_EQ(window.start, 11);
  EXPECT_EQ(window.end, 22);
}

}  // namespace
}  // namespace korvane
