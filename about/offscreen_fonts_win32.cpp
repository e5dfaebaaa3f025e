// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include <cstdlib>
#include <string>

#include "about/offscreen_fonts.h"

namespace korvane {

void UseSystemFontsOffScreen() {
  if (_wgetenv(L"QT_QPA_FONTDIR") != nullptr) return;
  wchar_t windows[MAX_PATH];
  const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  const std::wstring fonts = std::wstring(windows, length) + L"\\Fonts";
  // Through the C runtime, whose copy of the environment Qt reads.
  _wputenv_s(L"QT_QPA_FONTDIR", fonts.c_str());
}

}  // namespace korvane
