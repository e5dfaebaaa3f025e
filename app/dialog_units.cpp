#include "app/dialog_units.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QWidget>
#include <algorithm>

namespace korvane::window {
namespace {

// a * b / c rounded half away from zero, without overflowing for any int inputs.
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

}  // namespace

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {std::max(1, (letters / 26 + 1) / 2), std::max(1, metrics.height())};
}

QRect MapDialogRect(const QRect& units, DialogBaseUnits base) {
  const int left = MulDiv(units.x(), base.x, 4);
  const int top = MulDiv(units.y(), base.y, 8);
  const int right = MulDiv(units.x() + units.width(), base.x, 4);
  const int bottom = MulDiv(units.y() + units.height(), base.y, 8);
  return QRect(left, top, right - left, bottom - top);
}

void PlaceByDialogUnits(QWidget& dialog, DialogBaseUnits base) {
  dialog.setFixedSize(MapDialogRect(dialog.property("dlgRect").toRect(), base).size());
  for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    const QVariant units = child->property("dlgRect");
    if (!units.isValid()) continue;
    QRect pixels = MapDialogRect(units.toRect(), base);
    if (auto* combo = qobject_cast<QComboBox*>(child)) {
      const int closed = combo->sizeHint().height();
      const int item = combo->fontMetrics().height() + 4;  // a list row with its padding
      combo->setMaxVisibleItems(std::max(1, (pixels.height() - closed) / item));
      pixels.setHeight(closed);
    }
    child->setGeometry(pixels);
  }
}

}  // namespace korvane::window
