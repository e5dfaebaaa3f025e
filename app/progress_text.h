// SPDX-License-Identifier: GPL-3.0-or-later
// The progress bar's text during and after a scan: how far, how fast, and how long still to go
// (scans of whole disks take hours).
#pragma once

#include <QString>
#include <cstdint>

namespace korvane::gui {

// A QProgressBar format: "%p%" (the bar fills it in), the speed so far and, while the scan runs,
// the time left ("剩余 1:02:03"), or once it has ended the time it took ("用时 0:42").
QString ProgressFormat(uint64_t done, uint64_t total, double elapsed_seconds, bool ended);

// "m:ss" below an hour, "h:mm:ss" from there on.
QString DurationText(double seconds);

}  // namespace korvane::gui
