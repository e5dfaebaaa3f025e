// SPDX-License-Identifier: GPL-3.0-or-later
// The recorder's clock offset as a person types it ("-01:30:00", "2:03:00:00").
#pragma once

#include <cstdint>
#include <string_view>

#include "scan/result.h"

namespace korvane {

// The largest offset taken, in days: about a hundred years, more than any recorder's clock is
// wrong by (a clock reset to its first year is some decades off).
inline constexpr int64_t kMaxClockOffsetDays = 36500;

// An offset written [+|-]HH:MM:SS or [+|-]D:HH:MM:SS, in seconds (negative after '-'): the
// recorder's clock was that much ahead of the true time (behind when negative). Held strictly:
// ASCII digits only; HH one or two digits (0 to 99 in the short form, 0 to 23 after days); MM and
// SS two digits, 00 to 59; D one or more digits, at most kMaxClockOffsetDays; nothing before,
// between or after the fields. A failure (kUsage) says what is wrong with the text, without
// naming the text itself.
Result<int64_t> ParseClockOffset(std::string_view text);

}  // namespace korvane
