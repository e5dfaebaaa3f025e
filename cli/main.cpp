// korvane-scan: the command-line front end.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define KORVANE_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define KORVANE_ISATTY(f) isatty(fileno(f))
#endif

#include "cli/scan_command.h"

namespace {

std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

extern "C" void OnInterrupt(int) {
  g_stop.store(1);
  std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, OnInterrupt);
  std::vector<std::string> args(argv + 1, argv + argc);
  korvane::cli::Streams streams;
  streams.err_is_terminal = KORVANE_ISATTY(stderr) != 0;
  return korvane::cli::RunScanCommand(args, streams, g_stop);
}
