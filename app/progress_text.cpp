// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/progress_text.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>

namespace korvane::gui {
namespace {

// Below this much scanning the speed says nothing yet.
constexpr double kMinElapsed = 0.2;

// The bar's words, translated in this context.
class ProgressText {
  Q_DECLARE_TR_FUNCTIONS(ProgressText)
};

QString SpeedText(double bytes_per_second) {
  if (bytes_per_second >= 1e9) {
    return QStringLiteral("%1 GB/s").arg(bytes_per_second / 1e9, 0, 'f', 2);
  }
  return QStringLiteral("%1 MB/s").arg(bytes_per_second / 1e6, 0, 'f', 1);
}

}  // namespace

QString DurationText(double seconds) {
  const auto s = static_cast<qint64>(std::llround(std::max(0.0, seconds)));
  const qint64 minutes = s / 60 % 60, hours = s / 3600;
  const QString mm_ss = QStringLiteral("%1:%2")
                            .arg(minutes, hours ? 2 : 1, 10, QLatin1Char('0'))
                            .arg(s % 60, 2, 10, QLatin1Char('0'));
  return hours ? QStringLiteral("%1:%2").arg(hours).arg(mm_ss) : mm_ss;
}

QString ProgressFormat(uint64_t done, uint64_t total, double elapsed_seconds, bool ended) {
  const bool measured = elapsed_seconds >= kMinElapsed && done > 0;
  const double rate = measured ? static_cast<double>(done) / elapsed_seconds : 0;
  QString text = QStringLiteral("%p%");
  if (ended) {
    if (measured) text += QStringLiteral("  ") + SpeedText(rate);
    return text + QStringLiteral("  ") +
           ProgressText::tr("用时 %1").arg(DurationText(elapsed_seconds));
  }
  if (!measured)
    return text + QStringLiteral("  ") + ProgressText::tr("剩余 %1").arg(QStringLiteral("--:--"));
  const double left = static_cast<double>(total > done ? total - done : 0) / rate;
  return text + QStringLiteral("  ") + SpeedText(rate) + QStringLiteral("  ") +
         ProgressText::tr("剩余 %1").arg(DurationText(left));
}

}  // namespace korvane::gui
