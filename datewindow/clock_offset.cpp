// SPDX-License-Identifier: GPL-3.0-or-later
#include "datewindow/clock_offset.h"

#include <algorithm>
#include <string>
#include <vector>

#include "scan/time_model.h"

namespace korvane {

Result<int64_t> ParseClockOffset(std::string_view text) {
  auto refuse = [](std::string why) { return Status::Error(ErrorCode::kUsage, std::move(why)); };
  static constexpr char kForm[] = "it is not of the form [-]HH:MM:SS or [-]D:HH:MM:SS";
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return refuse(kForm);
  // The fields, left to right, with their lengths in digits.
  std::vector<std::string_view> fields;
  size_t begin = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] >= '0' && text[i] <= '9') continue;
    if (i < text.size() && text[i] != ':') {
      return refuse("it holds characters other than the ASCII digits 0-9 and ':' after its sign");
    }
    if (i == begin) return refuse(kForm);  // an empty field
    fields.push_back(text.substr(begin, i - begin));
    begin = i + 1;
  }
  if (fields.size() != 3 && fields.size() != 4) return refuse(kForm);
  // Saturates long before overflow; such values are out of range anyway.
  auto value = [](std::string_view digits) {
    int64_t v = 0;
    for (char c : digits) v = std::min<int64_t>(v * 10 + (c - '0'), 1'000'000'000);
    return v;
  };
  const bool with_days = fields.size() == 4;
  const int64_t days = with_days ? value(fields[0]) : 0;
  const std::string_view hh = fields[fields.size() - 3], mm = fields[fields.size() - 2],
                         ss = fields[fields.size() - 1];
  if (days > kMaxClockOffsetDays) {
    return refuse("the days must be from 0 to " + std::to_string(kMaxClockOffsetDays));
  }
  if (hh.size() > 2 || (with_days && value(hh) > 23)) {
    return refuse(with_days ? "the hours must be from 0 to 23 after the days"
                            : "the hours must be one or two digits (D:HH:MM:SS for longer)");
  }
  if (mm.size() != 2 || value(mm) > 59) return refuse("the minutes must be two digits, 00 to 59");
  if (ss.size() != 2 || value(ss) > 59) return refuse("the seconds must be two digits, 00 to 59");
  const int64_t seconds = days * kSecondsPerDay + value(hh) * 3600 + value(mm) * 60 + value(ss);
  return negative ? -seconds : seconds;
}

}  // namespace korvane
