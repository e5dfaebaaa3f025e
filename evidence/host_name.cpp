// SPDX-License-Identifier: GPL-3.0-or-later
// The machine's name for the case log. Apart from the rest: windows.h renames functions (such as
// CreateFile) that the save folder's interface has too.
#ifdef _WIN32
#include <windows.h>

#include "scan/win32_text.h"
#else
#include <unistd.h>
#endif

#include "evidence/case_log.h"

namespace korvane::evidence {

std::string HostName() {
#ifdef _WIN32
  wchar_t name[256];
  DWORD size = 256;
  if (::GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
    return win32::Utf8FromWide(std::wstring(name, size));
  }
  return std::string();
#else
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
#endif
}

}  // namespace korvane::evidence
