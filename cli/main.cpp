// korvane-scan: the command-line front end.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include "scan/win32_text.h"
#else
#include <unistd.h>
#endif

#include "cli/scan_command.h"

namespace {

std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

#ifdef _WIN32

// Runs on a thread of its own when Ctrl-C or Ctrl-Break is pressed.
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  // A second press falls through to the default handler, which ends the program at once.
  return g_stop.exchange(1) == 0 ? TRUE : FALSE;
}

// The arguments as typed, in UTF-8 whatever the system's code page (argv is in that code page and
// loses every character outside it).
std::vector<std::string> Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv + 1, argv + argc);
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) args.push_back(korvane::win32::Utf8FromWide(wide[i]));
  ::LocalFree(wide);
  return args;
}

// Puts the console into UTF-8 output (the messages are UTF-8) and lets it draw the progress
// line's escape sequences, and restores both at the end.
class Console {
 public:
  Console() : err_(::GetStdHandle(STD_ERROR_HANDLE)), code_page_(::GetConsoleOutputCP()) {
    ::SetConsoleOutputCP(CP_UTF8);
    if (err_ != nullptr && err_ != INVALID_HANDLE_VALUE && ::GetConsoleMode(err_, &mode_)) {
      has_mode_ = true;
      terminal_ = ::SetConsoleMode(err_, mode_ | ENABLE_PROCESSED_OUTPUT |
                                             ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }
  }
  ~Console() {
    std::fflush(stdout);  // written while the console still reads UTF-8
    std::fflush(stderr);
    if (has_mode_) ::SetConsoleMode(err_, mode_);
    if (code_page_ != 0) ::SetConsoleOutputCP(code_page_);
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // stderr is a console that understands the progress line (not a file, pipe or NUL).
  bool ErrIsTerminal() const { return terminal_; }

 private:
  HANDLE err_;
  UINT code_page_;
  DWORD mode_ = 0;
  bool has_mode_ = false;
  bool terminal_ = false;
};

#else

extern "C" void OnInterrupt(int) {
  g_stop.store(1);
  std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

#endif

}  // namespace

int main(int argc, char** argv) {
  korvane::cli::Streams streams;
#ifdef _WIN32
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  const std::vector<std::string> args = Arguments(argc, argv);
  const Console console;
  // The same bytes as elsewhere: lines end in "\n", not "\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  streams.err_is_terminal = console.ErrIsTerminal();
#else
  std::signal(SIGINT, OnInterrupt);
  const std::vector<std::string> args(argv + 1, argv + argc);
  streams.err_is_terminal = isatty(fileno(stderr)) != 0;
#endif
  return korvane::cli::RunScanCommand(args, streams, g_stop);
}
