// SPDX-License-Identifier: GPL-3.0-or-later
// korvane-scan --save: saving the recordings a scan found, with progress and a report on stderr.
#pragma once

#include <atomic>
#include <vector>

#include "cli/options.h"
#include "cli/scan_command.h"
#include "scan/save.h"
#include "scan/scanner.h"
#include "scan/source_reader.h"

namespace korvane::cli {

// Saves the recordings of `found` that options.select names (all without it) from the open
// source into *options.save_dir; `window` is the scan's date window. `code` is the scan's exit
// status; returns the command's. `outcome`, when given, receives the save's result (for the case
// log).
int SaveFound(SourceReader& reader, const Options& options, const std::vector<Recording>& found,
              const DateWindow& window, const Streams& streams, const std::atomic<int>& stop,
              int code, SaveResult* outcome = nullptr);

}  // namespace korvane::cli
