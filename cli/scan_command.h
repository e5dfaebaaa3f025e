// SPDX-License-Identifier: GPL-3.0-or-later
// korvane-scan's work: parse the arguments, scan, print.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/progress.h"

namespace korvane::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitSourceFailed = 1,
  kExitUsage = 2,
  kExitUnreadable = 3,
  kExitSaveFailed = 4,
  kExitInterrupted = 130,
};

struct Streams {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool err_is_terminal = false;  // progress is drawn on err only then (and not with --quiet)
  ColumnsFn err_columns = {};    // the terminal's width, for the progress line
  std::string out_name = "standard output";  // named when the list cannot be written to it
};

// Runs korvane-scan with args (without the program name). `stop` is set by Ctrl-C. Every write to
// streams.out is checked, its final flush too: a list that cannot be written whole ends the
// command with kExitSourceFailed and a message naming the output. (Closing it is the caller's.)
int RunScanCommand(const std::vector<std::string>& args, const Streams& streams,
                   const std::atomic<int>& stop);

}  // namespace korvane::cli
