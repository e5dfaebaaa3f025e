// SPDX-License-Identifier: GPL-3.0-or-later
// The window's way to the About box: the entry "&About Korvane..." and what it opens.
#pragma once

#include <QString>

class QDialog;
class QWidget;

namespace korvane {

// String resource 101, the entry's text.
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr char kAboutEntryText[] = "&About Korvane...";
// The system command of the entry. The system keeps the low four bits of a command for itself.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;

inline bool IsAboutCommand(unsigned nID) {
  return (nID & 0xFFF0) == IDM_ABOUTBOX;
}

// Builds a fresh About box over owner, runs it modally and destroys it when it ends.
void OpenAboutBox(QWidget* owner);

// Gives dlg the About entry. On Windows: appended to dlg's system menu after a separator, its
// system command opening the box. Where a program cannot reach the system menu: a context menu
// on banner (may be null) holding the entry, and F1 anywhere in dlg. Call once, after the
// dialog's widgets exist; the entry lives as long as dlg.
void InstallAboutEntry(QDialog* dlg, QWidget* banner);

}  // namespace korvane
