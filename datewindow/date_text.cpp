#include "datewindow/date_text.h"

#include <limits>

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
