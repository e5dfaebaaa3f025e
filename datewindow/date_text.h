// SPDX-License-Identifier: GPL-3.0-or-later
// The date pickers' display texts ("2014/3/4") turned into window bounds.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "scan/result.h"
#include "scan/time_model.h"

namespace korvane {

// Converts like the C runtime's _atoi64: leading blanks, an optional sign, then digits up to the
// first non-digit; no digits gives 0; a value too large for 64 bits saturates.
int64_t Atoi64(std::string_view text);

struct DateText {
  int64_t year;
  int64_t month;
  int64_t day;
  auto operator<=>(const DateText&) const = default;
};

// "Y/M/D": the year before the first '/', the month up to the second, the day's leading digits
// after it. No range check. Empty when a separator is missing or a part before one is empty.
std::optional<DateText> ParseDateText(std::string_view text);

// A date typed by a person ("2014/3/4", "14/03/04"), held to the calendar: three runs of ASCII
// digits separated by '/', nothing before, between or after them; year 1 to 9999, month 1 to 12,
// a day that month has (proleptic Gregorian calendar, as the recorder's clock counts). A
// failure's message says what is wrong with the text, without naming the text itself.
Result<DateText> ParseCalendarDate(std::string_view text);

// 1 when start is earlier than end, 0 when equal, -1 when later, -2 when either cannot be parsed.
int CompareDateText(std::string_view start, std::string_view end);

// Sets window to the date values of the two texts and returns 1; returns 0 and leaves the
// window as it was when either text cannot be parsed.
int ParseDateWindow(std::string_view start, std::string_view end, DateWindow& window);

}  // namespace korvane
