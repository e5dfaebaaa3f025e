// SPDX-License-Identifier: GPL-3.0-or-later
// What the boxes at the end of a scan and of a save say, made from the job's result alone.
#pragma once

#include <QMessageBox>
#include <QString>
#include <cstddef>

#include "app/scan_feed.h"
#include "scan/save.h"
#include "scan/scanner.h"

namespace korvane::gui {

struct EndMessage {
  QMessageBox::Icon icon = QMessageBox::Information;
  QString text;
};

// "scan end!", with the unreadable bytes on a second line when there were any; or why the source
// could not be scanned.
EndMessage ScanEndMessage(const ScanResult& result);

// How many files and bytes were saved to which folder, which files failed and why; `asked` is
// how many files the save was asked for (those a stop left untried are counted too).
EndMessage SaveEndMessage(const SaveResult& result, size_t asked);

// How many video files and bytes were exported to which folder, the files' names, which channels
// failed and why, and which had nothing to export.
EndMessage ExportEndMessage(const ExportFinished& end);

}  // namespace korvane::gui
