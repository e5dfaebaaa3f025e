// The program's resources as code sees them: the string table and where the images live (in
// korvane.qrc, compiled into korvane_app).
#pragma once

namespace korvane::res {

// String 101: the entry that opens the About box.
inline constexpr char kAboutBoxText[] = "&About Korvane...";

// Icon 128, one file per size, and banner bitmap 129.
inline constexpr int kIconSizes[] = {16, 32, 48, 128};
inline constexpr char kIconFilePattern[] = ":/res/icon_%1.png";
inline constexpr char kBannerFile[] = ":/res/banner.bmp";

}  // namespace korvane::res
