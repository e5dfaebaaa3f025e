// SPDX-License-Identifier: GPL-3.0-or-later
// Where the window's images live (korvane.qrc, compiled into korvane_app). String 101, the
// About entry, is in about/about_entry.h.
#pragma once

namespace korvane::res {

// Icon 128, one file per size, and banner bitmap 129.
inline constexpr int kIconSizes[] = {16, 32, 48, 128};
inline constexpr char kIconFilePattern[] = ":/res/icon_%1.png";
inline constexpr char kBannerFile[] = ":/res/banner.bmp";

}  // namespace korvane::res
