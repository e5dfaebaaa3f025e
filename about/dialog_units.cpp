// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/dialog_units.h"

#include <QFontMetrics>
#include <QVariant>
#include <QWidget>
#include <cmath>

namespace korvane {

namespace {

// value * numerator / denominator, rounded half away from zero.
int ScaleRounded(int value, int numerator, int denominator) {
  return static_cast<int>(std::lround(static_cast<double>(value) * numerator / denominator));
}

}  // namespace

DialogBaseUnits DialogBaseUnitsFor(const QFont& font) {
  const QFontMetrics metrics(font);
  // Averaging the 52 letters rather than taking the font's declared average keeps fonts with
  // many wide (for example CJK) glyphs from stretching a Latin-text layout.
  static const QString kLetters =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  const int letters = metrics.horizontalAdvance(kLetters);
  DialogBaseUnits base;
  base.x = (letters / 26 + 1) / 2;
  base.y = metrics.height();
  if (base.x < 1) base.x = 1;
  if (base.y < 1) base.y = 1;
  return base;
}

QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base) {
  const int left = ScaleRounded(units.x(), base.x, 4);
  const int top = ScaleRounded(units.y(), base.y, 8);
  const int right = ScaleRounded(units.x() + units.width(), base.x, 4);
  const int bottom = ScaleRounded(units.y() + units.height(), base.y, 8);
  return QRect(left, top, right - left, bottom - top);
}

DialogBaseUnits ApplyDialogUnitGeometry(QWidget* window) {
  const DialogBaseUnits base = DialogBaseUnitsFor(window->font());
  const QVariant own = window->property(kDialogUnitsProperty);
  if (own.canConvert<QRect>()) {
    const QRect units = own.toRect();
    window->setFixedSize(
        DialogUnitsToPixels(QRect(0, 0, units.width(), units.height()), base).size());
  }
  for (QWidget* child : window->findChildren<QWidget*>()) {
    const QVariant units = child->property(kDialogUnitsProperty);
    if (units.canConvert<QRect>()) child->setGeometry(DialogUnitsToPixels(units.toRect(), base));
  }
  return base;
}

}  // namespace korvane
