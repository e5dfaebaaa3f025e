// SPDX-License-Identifier: GPL-3.0-or-later
#include "datewindow/date_text.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

namespace korvane {

int64_t Atoi64(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate as a negative number so that INT64_MIN is reachable.
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t value = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (value < (kMin + digit) / 10) {
      overflow = true;
    } else if (!overflow) {
      value = value * 10 - digit;
    }
  }
  if (overflow) return negative ? kMin : kMax;
  if (negative) return value;
  return value == kMin ? kMax : -value;
}

std::optional<DateText> ParseDateText(std::string_view text) {
  const size_t p = text.find('/');
  if (p == std::string_view::npos || p == 0) return std::nullopt;
  const std::string_view rest = text.substr(p + 1);
  const size_t q = rest.find('/');
  if (q == std::string_view::npos || q == 0) return std::nullopt;
  return DateText{Atoi64(text.substr(0, p)), Atoi64(rest.substr(0, q)), Atoi64(rest.substr(q + 1))};
}

namespace {

bool IsLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t DaysInMonth(int64_t year, int64_t month) {
  static constexpr int64_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

Result<DateText> ParseCalendarDate(std::string_view text) {
  auto refuse = [](std::string why) { return Status::Error(ErrorCode::kUsage, std::move(why)); };
  int64_t fields[3] = {0, 0, 0};
  size_t i = 0;
  for (int f = 0; f < 3; ++f) {
    if (f > 0) {
      if (i >= text.size() || text[i] != '/') return refuse("it is not of the form Y/M/D");
      ++i;
    }
    const size_t begin = i;
    // Saturate long before overflow; such values are out of range anyway. Leading zeros are fine.
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      fields[f] = std::min<int64_t>(fields[f] * 10 + (text[i] - '0'), 1'000'000'000);
      ++i;
    }
    if (i == begin) {
      return refuse(i < text.size() && text[i] != '/'
                        ? "it holds characters other than the ASCII digits 0-9 and '/'"
                        : "it is not of the form Y/M/D");
    }
  }
  if (i != text.size()) {
    return refuse(text[i] == '/' ? "it is not of the form Y/M/D"
                                 : "it holds characters other than the ASCII digits 0-9 and '/'");
  }
  const auto [year, month, day] = fields;
  if (year < 1 || year > 9999) return refuse("the year must be from 1 to 9999");
  if (month < 1 || month > 12) return refuse("the month must be from 1 to 12");
  if (day < 1 || day > DaysInMonth(year, month)) {
    return refuse("month " + std::to_string(month) + " of the year " + std::to_string(year) +
                  " has " + std::to_string(DaysInMonth(year, month)) + " days");
  }
  return DateText{year, month, day};
}

int CompareDateText(std::string_view start, std::string_view end) {
  const auto s = ParseDateText(start);
  if (!s) return -2;
  const auto e = ParseDateText(end);
  if (!e) return -2;
  if (*s < *e) return 1;
  if (*s > *e) return -1;
  return 0;
}

int ParseDateWindow(std::string_view start, std::string_view end, DateWindow& window) {
  const auto s = ParseDateText(start);
  if (!s) return 0;
  const auto e = ParseDateText(end);
  if (!e) return 0;
  window.start = DateValue(s->year, s->month, s->day);
  window.end = DateValue(e->year, e->month, e->day);
  // Both bounds 0 would read as "no window" and accept every frame. They are equal, so the window
  // is empty: keep it empty on a day that is not 0.
  if (window.start == 0 && window.end == 0) window.start = window.end = kSecondsPerDay;
  return 1;
}

}  // namespace korvane
