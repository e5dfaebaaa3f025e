// SPDX-License-Identifier: GPL-3.0-or-later
// Dialog units: the font-relative measure in which the window templates give every position and
// size. One horizontal unit is a quarter of the dialog font's average character width, one
// vertical unit an eighth of its height, so a layout grows and shrinks with the font.
#pragma once

#include <QFont>
#include <QRect>

class QWidget;

namespace korvane {

// Pixels per 4 horizontal (x) and per 8 vertical (y) dialog units for a font.
struct DialogBaseUnits {
  int x = 0;
  int y = 0;
};

// The average width of the Latin letters (rounded) and the line height of font.
DialogBaseUnits DialogBaseUnitsFor(const QFont& font);

// Converts a rectangle in dialog units into pixels, each edge rounded to the nearest pixel.
QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base);

// The dynamic property that carries a widget's rectangle in dialog units (a QRect). On a window
// it gives the size of the client area (and its position relative to its owner's client area).
inline constexpr char kDialogUnitsProperty[] = "dialogUnits";

// Lays out window from the kDialogUnitsProperty of itself and of its descendants, measured with
// window's font: the window gets a fixed client size, every other widget that carries the
// property its geometry within its parent. Returns the base units used.
DialogBaseUnits ApplyDialogUnitGeometry(QWidget* window);

}  // namespace korvane
