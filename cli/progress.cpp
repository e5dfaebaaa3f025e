// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/progress.h"

#include <cinttypes>

namespace korvane::cli {

std::string HumanBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 5) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.2f %s", bytes, kUnits[unit]);
  return text;
}

std::string Duration(double seconds) {
  const auto s = static_cast<uint64_t>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600, s / 60 % 60,
                  s % 60);
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
  }
  return text;
}

std::string FitProgressText(const std::string& label, const std::string& percent,
                            const std::string& bytes, const std::string& speed,
                            const std::string& left, unsigned columns) {
  const std::string whole = label + percent + "  " + bytes + "  " + speed + "  " + left;
  if (columns == 0) return whole;
  const size_t room = columns - 1;
  for (const std::string& text : {whole, percent + "  " + bytes + "  " + speed + "  " + left,
                                  percent + "  " + speed + "  " + left, percent + "  " + left}) {
    if (text.size() <= room) return text;
  }
  return percent.substr(0, room);
}

void ProgressLine::Start() {
  started_ = Clock::now();
  last_draw_ = started_;
}

void ProgressLine::Draw(uint64_t done, uint64_t total, const std::string& label) {
  if (!enabled_) return;
  const auto now = Clock::now();
  if (done < total && now - last_draw_ < std::chrono::milliseconds(200)) return;
  last_draw_ = now;
  const double elapsed = std::chrono::duration<double>(now - started_).count();
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  const double percent =
      total ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0;
  std::string left = "--:--";
  if (rate > 0) left = Duration(static_cast<double>(total - done) / rate);
  char percent_text[16], speed_text[48];
  std::snprintf(percent_text, sizeof percent_text, "%5.1f%%", percent);
  std::snprintf(speed_text, sizeof speed_text, "%.0f MB/s", rate / 1e6);
  const std::string text = FitProgressText(
      label, percent_text,
      HumanBytes(static_cast<double>(done)) + " of " + HumanBytes(static_cast<double>(total)),
      speed_text, left + " left", columns_ ? columns_() : 0);
  std::fprintf(err_, "\r\033[K%s", text.c_str());
  std::fflush(err_);
  drawn_ = true;
}

void ProgressLine::Clear() {
  if (!drawn_) return;
  std::fputs("\r\033[K", err_);
  std::fflush(err_);
  drawn_ = false;
}

}  // namespace korvane::cli
