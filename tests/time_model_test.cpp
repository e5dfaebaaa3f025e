// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/time_model.h"

#include <gtest/gtest.h>

#include <ctime>

#include "tools/image_builder.h"

namespace korvane {
namespace {

using testimage::PackDate;

// The C library's inverse of gmtime, which carries out-of-range fields.
int64_t LibraryUtcSeconds(std::tm* tm) {
#ifdef _WIN32
  return static_cast<int64_t>(_mkgmtime(tm));
#else
  return static_cast<int64_t>(timegm(tm));
#endif
}

TEST(TimeModel, UnpacksTheWordOfTheExampleHeader) {
  // Header bytes 16-19: 1E A5 C8 38.
  const uint32_t w = 0x38C8A51E;
  const FrameTimeFields f = UnpackFrameTime(w);
  EXPECT_EQ(f.year, 2014);
  EXPECT_EQ(f.month, 3);
  EXPECT_EQ(f.day, 4);
  EXPECT_EQ(f.hour, 10);
  EXPECT_EQ(f.minute, 20);
  EXPECT_EQ(f.second, 30);
  EXPECT_EQ(PackFrameTime(f), w);
  EXPECT_EQ(PackedTimeToUnixSeconds(w), 1393928430);
  EXPECT_EQ(PackedDateValue(w), 1393891200);
  EXPECT_EQ(FormatUnixSeconds(PackedTimeToUnixSeconds(w)), "2014-03-04 10:20:30");
}

TEST(TimeModel, TextsOfRealAndCarriedDates) {
  struct Case {
    int y, mo, d, h, mi, s;
    const char* text;
  } const cases[] = {
      {2014, 1, 30, 12, 0, 0, "2014-01-30 12:00:00"},
      {2014, 1, 31, 12, 0, 0, "2014-01-31 12:00:00"},
      {2014, 12, 31, 23, 59, 59, "2014-12-31 23:59:59"},
      {2000, 0, 0, 0, 0, 0, "1999-11-30 00:00:00"},
      {2014, 13, 1, 0, 0, 0, "2015-01-01 00:00:00"},
      {2014, 2, 31, 0, 0, 0, "2014-03-03 00:00:00"},
      {2014, 3, 4, 24, 0, 0, "2014-03-05 00:00:00"},
      {2014, 3, 4, 23, 60, 63, "2014-03-05 00:01:03"},
      {2016, 2, 29, 1, 2, 3, "2016-02-29 01:02:03"},
      {2063, 15, 31, 31, 63, 63, "2064-04-01 08:04:03"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatUnixSeconds(PackedTimeToUnixSeconds(PackDate(c.y, c.mo, c.d, c.h, c.mi, c.s))),
              c.text)
        << c.y << "-" << c.mo << "-" << c.d;
  }
}

TEST(TimeModel, AgreesWithTimegmOnEveryFieldCombination) {
  // Sample the whole packed space; timegm is the reference for carrying.
  for (uint64_t w = 0; w <= 0xFFFFFFFFu; w += 0x10003F1) {
    const uint32_t packed = static_cast<uint32_t>(w);
    const FrameTimeFields f = UnpackFrameTime(packed);
    std::tm tm{};
    tm.tm_year = f.year - 1900;
    tm.tm_mon = f.month - 1;
    tm.tm_mday = f.day;
    tm.tm_hour = f.hour;
    tm.tm_min = f.minute;
    tm.tm_sec = f.second;
    ASSERT_EQ(PackedTimeToUnixSeconds(packed), LibraryUtcSeconds(&tm)) << std::hex << w;
  }
}

TEST(TimeModel, MidnightStepsAreRealDays) {
  auto step = [](uint32_t a, uint32_t b) {
    return PackedTimeToUnixSeconds(b) - PackedTimeToUnixSeconds(a);
  };
  EXPECT_EQ(step(PackDate(2014, 1, 31, 23, 59, 59), PackDate(2014, 2, 1, 0, 0, 0)), 1);
  EXPECT_EQ(step(PackDate(2014, 1, 30, 23, 59, 59), PackDate(2014, 2, 1, 0, 0, 0)), 86401);
  EXPECT_EQ(step(PackDate(2014, 2, 28, 23, 59, 59), PackDate(2014, 3, 1, 0, 0, 0)), 1);
  EXPECT_EQ(step(PackDate(2014, 12, 31, 23, 59, 59), PackDate(2015, 1, 1, 0, 0, 0)), 1);
  EXPECT_EQ(step(PackDate(2016, 2, 28, 23, 59, 59), PackDate(2016, 3, 1, 0, 0, 0)), 86401);
}

TEST(TimeModel, WindowIsHalfOpenOnDates) {
  const DateWindow window{DateValue(2014, 3, 4), DateValue(2014, 3, 5)};
  EXPECT_EQ(window.start, 1393891200);
  EXPECT_EQ(window.end, 1393977600);
  EXPECT_FALSE(IsInDateWindow(PackDate(2014, 3, 3, 23, 59, 59), window));
  EXPECT_TRUE(IsInDateWindow(PackDate(2014, 3, 4, 0, 0, 0), window));
  EXPECT_TRUE(IsInDateWindow(PackDate(2014, 3, 4, 23, 59, 59), window));
  EXPECT_FALSE(IsInDateWindow(PackDate(2014, 3, 5, 0, 0, 0), window));
  // Hour 24 of the 4th is still dated the 4th: the time of day takes no part.
  EXPECT_TRUE(IsInDateWindow(PackDate(2014, 3, 4, 24, 0, 0), window));
  // No window: everything passes.
  EXPECT_TRUE(IsInDateWindow(PackDate(2000, 0, 0, 0, 0, 0), DateWindow{}));
  // Only a start bound: every frame is rejected (the end is 0, 1970-01-01).
  EXPECT_FALSE(IsInDateWindow(PackDate(2014, 3, 4, 0, 0, 0), DateWindow{window.start, 0}));
}

TEST(TimeModel, DateValuesSaturateInsteadOfOverflowing) {
  EXPECT_EQ(DateValue(INT64_MAX, 1, 1), INT64_MAX);
  EXPECT_EQ(DateValue(INT64_MIN, 1, 1), INT64_MIN);
  EXPECT_EQ(DateValue(2014, INT64_MAX, 1), INT64_MAX);
  EXPECT_EQ(DateValue(2014, INT64_MIN, INT64_MIN), INT64_MIN);
  EXPECT_EQ(DateValue(2014, INT64_MIN, 1), INT64_MIN);
  // Months just above the minimum: carrying them into years must not overflow either.
  for (int64_t above = 1; above <= 24; ++above) {
    EXPECT_EQ(DateValue(2014, INT64_MIN + above, 1), INT64_MIN) << above;
    EXPECT_EQ(DateValue(2014, INT64_MAX - above, 1), INT64_MAX) << above;
  }
  EXPECT_EQ(DateValue(2014, 1, INT64_MAX), INT64_MAX);
  EXPECT_LT(DateValue(14, 3, 4), 0);
  EXPECT_EQ(DateValue(1970, 1, 1), 0);
}

}  // namespace
}  // namespace korvane
