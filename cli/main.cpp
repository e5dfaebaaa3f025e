// SPDX-License-Identifier: GPL-3.0-or-later
// korvane-scan: the command-line front end.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "scan/win32_text.h"
#else
#include <fcntl.h>
#include <sys/ioctl.h>
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

  // The console window's width in columns; 0 when it cannot be known.
  static unsigned Columns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<unsigned>(columns) : 0;
  }

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

// Holds the standard descriptors that were closed when the program started with /dev/null opened
// read-only: no file opened later (the source, a saved recording) can take their place, and
// writing to a closed stdout still fails (and is reported) as it should.
void ReserveClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

// The terminal's width in columns; 0 when it cannot be known.
unsigned TerminalColumns() {
  struct winsize size {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
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
  streams.err_columns = &Console::Columns;
#else
  ReserveClosedStandardDescriptors();
  std::signal(SIGINT, OnInterrupt);
  const std::vector<std::string> args(argv + 1, argv + argc);
  streams.err_is_terminal = isatty(fileno(stderr)) != 0;
  streams.err_columns = &TerminalColumns;
#endif
  int code = korvane::cli::RunScanCommand(args, streams, g_stop);
  // Whatever is still buffered for stdout (the help, say) must reach it, and closing it is the
  // last chance for a file system to say that it did not fit. A list already reported as
  // unwritable (status 1) is not reported twice; a save's or a stop's status stays.
  auto output_failed = [&code, &streams](bool failed) {
    if (!failed || code == korvane::cli::kExitSourceFailed) return;
    const int err = errno;
    std::fprintf(stderr, "korvane-scan: cannot write to %s: %s\n", streams.out_name.c_str(),
                 std::strerror(err));
    if (code == korvane::cli::kExitOk || code == korvane::cli::kExitUnreadable) {
      code = korvane::cli::kExitSourceFailed;
    }
  };
  output_failed(std::fflush(stdout) != 0 || std::ferror(stdout));
#ifndef _WIN32
  output_failed(std::fclose(stdout) != 0);
#endif
  return code;
}
