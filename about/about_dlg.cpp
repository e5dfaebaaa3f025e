// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/about_dlg.h"

#include <QEvent>

#include "about/dialog_units.h"
#include "ui_about.h"

namespace korvane {

CAboutDlg::CAboutDlg(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      ui_(std::make_unique<Ui::CAboutDlg>()) {
  ui_->setupUi(this);
  // A window does not take its owner's font by itself: the box is laid out in the dialog's.
  if (owner != nullptr) setFont(owner->font());
  const DialogBaseUnits base = ApplyDialogUnitGeometry(this);
  if (owner != nullptr) {
    // The form's position is relative to the owner's client area.
    const QRect units = property(kDialogUnitsProperty).toRect();
    move(owner->mapToGlobal(
        DialogUnitsToPixels(QRect(units.topLeft(), QSize(0, 0)), base).topLeft()));
  }

  // The form's link labels already show the URLs; the links paint and open the same strings.
  m_linkFirst.Attach(ui_->link1015);
  m_linkFirst.SetLink(QLatin1String(kFirstUrl), QLatin1String(kFirstUrl));
  m_linkSecond.Attach(ui_->link1016);
  m_linkSecond.SetLink(QLatin1String(kSecondUrl), QLatin1String(kSecondUrl));
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::changeEvent(QEvent* event) {
  // Dialog units follow the font.
  if (event->type() == QEvent::FontChange) ApplyDialogUnitGeometry(this);
  QDialog::changeEvent(event);
}

}  // namespace korvane
