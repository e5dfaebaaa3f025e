// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/about_entry.h"

#include "about/about_dlg.h"

namespace korvane {

void OpenAboutBox(QWidget* owner) {
  CAboutDlg box(owner);
  box.exec();
}

}  // namespace korvane
