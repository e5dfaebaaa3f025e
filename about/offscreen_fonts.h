// SPDX-License-Identifier: GPL-3.0-or-later
// Text drawn off screen (the tests, pictures of the window): Qt's offscreen platform draws only
// with the fonts it finds in one folder.
#pragma once

namespace korvane {

#ifdef _WIN32
// Lets the offscreen platform draw with the system's own fonts (%WINDIR%\Fonts, which holds the
// Chinese ones) unless QT_QPA_FONTDIR names another folder. A statically linked program has no
// folder of Qt's own to look in. Call before the application object exists.
void UseSystemFontsOffScreen();
#else
// Elsewhere the offscreen platform asks fontconfig, which knows the system's fonts.
inline void UseSystemFontsOffScreen() {}
#endif

}  // namespace korvane
