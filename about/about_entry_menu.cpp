// SPDX-License-Identifier: GPL-3.0-or-later
// Platforms on which a program cannot add to the window's system menu: the entry lives in the
// banner's context menu and on F1.
#include <QAction>
#include <QDialog>
#include <QKeySequence>

#include "about/about_entry.h"

namespace korvane {

void InstallAboutEntry(QDialog* dlg, QWidget* banner) {
  if (dlg == nullptr) return;
  auto* entry = new QAction(QString::fromLatin1(kAboutEntryText), dlg);
  entry->setObjectName(QStringLiteral("aboutEntry"));
  entry->setShortcut(QKeySequence(Qt::Key_F1));
  entry->setShortcutContext(Qt::WindowShortcut);
  dlg->addAction(entry);
  if (banner != nullptr) {
    banner->addAction(entry);
    banner->setContextMenuPolicy(Qt::ActionsContextMenu);
  }
  QObject::connect(entry, &QAction::triggered, dlg, [dlg] { OpenAboutBox(dlg); });
}

}  // namespace korvane
