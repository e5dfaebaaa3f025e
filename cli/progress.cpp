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
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600,
                  s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
  }
  return text;
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
  std::fprintf(err_, "\r\033[K%s%5.1f%%  %s of %s  %.0f MB/s  %s left", label.c_str(), percent,
               HumanBytes(static_cast<double>(done)).c_str(),
               HumanBytes(static_cast<double>(total)).c_str(), rate / 1e6, left.c_str());
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
