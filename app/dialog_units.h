// Dialog units: the window's form gives every control's rectangle in units of the dialog font (a
// horizontal unit is a quarter of the font's average character width, a vertical unit an eighth
// of its height), so the window keeps its proportions whatever font and screen it meets.
#pragma once

#include <QFont>
#include <QRect>

class QWidget;

namespace korvane::window {

// Pixels per 4 horizontal and per 8 vertical dialog units.
struct DialogBaseUnits {
  int x = 0;
  int y = 0;
};

// The base units of a font, measured the way dialog templates are laid out: the average advance
// of the 52 Latin letters, rounded, and the font's full height.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// A rectangle in dialog units in pixels. Edges are converted, not sizes, so controls that touch
// in the template still touch.
QRect MapDialogRect(const QRect& units, DialogBaseUnits base);

// Sizes `dialog` from its "dlgRect" property and places every child widget that carries one.
// A combo box's rectangle gives the height of its dropped list; the box itself keeps the
// height its style asks for.
void PlaceByDialogUnits(QWidget& dialog, DialogBaseUnits base);

}  // namespace korvane::window
