// SPDX-License-Identifier: GPL-3.0-or-later
// The progress line korvane-scan draws on a terminal while it scans or saves.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace korvane::cli {

std::string HumanBytes(double bytes);  // "12.34 MiB"
std::string Duration(double seconds);  // "m:ss" or "h:mm:ss"

// The terminal's width in columns, asked afresh for each line (the window may be resized); 0 when
// it cannot be known.
using ColumnsFn = std::function<unsigned()>;

// The text of a progress line that fits `columns` columns (0: any width): the whole line
// "label  percent  done of total  MB/s  time left" when it fits in columns - 1 (a line that
// reaches the last column wraps on some terminals), otherwise without the label, then without
// the byte counts, then without the speed, and at last cut.
std::string FitProgressText(const std::string& label, const std::string& percent,
                            const std::string& bytes, const std::string& speed,
                            const std::string& left, unsigned columns);

class ProgressLine {
 public:
  ProgressLine(std::FILE* err, bool enabled, ColumnsFn columns = {})
      : err_(err), enabled_(enabled), columns_(std::move(columns)) {}

  // Starts the clock that speed and time left are measured from.
  void Start();
  // Draws "label  percent  done of total  MB/s  time left", at most five times a second (and
  // always once done reaches total).
  void Draw(uint64_t done, uint64_t total, const std::string& label = "");
  // Removes the line, so that other text can be printed.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* err_;
  bool enabled_;
  ColumnsFn columns_;
  bool drawn_ = false;
  Clock::time_point started_{};
  Clock::time_point last_draw_{};
};

}  // namespace korvane::cli
