// SPDX-License-Identifier: GPL-3.0-or-later
// Windows only: text conversions between the program's UTF-8 and the system's UTF-16, and the
// system's own wording of an error code. Implemented next to the Windows raw device.
#pragma once

#include <string>

namespace korvane::win32 {

// UTF-8 to UTF-16. Returns false (leaving *out empty) when text is not valid UTF-8.
bool WideFromUtf8(const std::string& text, std::wstring* out);

// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD).
std::string Utf8FromWide(const std::wstring& text);

// The system's message for a GetLastError() code, in UTF-8, without the trailing line break;
// "error N" when the system has no text for it.
std::string SystemMessage(unsigned long code);

}  // namespace korvane::win32
