// The progress line korvane-scan draws on a terminal while it scans or saves.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace korvane::cli {

std::string HumanBytes(double bytes);  // "12.34 MiB"
std::string Duration(double seconds);  // "m:ss" or "h:mm:ss"

class ProgressLine {
 public:
  ProgressLine(std::FILE* err, bool enabled) : err_(err), enabled_(enabled) {}

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
  bool drawn_ = false;
  Clock::time_point started_{};
  Clock::time_point last_draw_{};
};

}  // namespace korvane::cli
