# SPDX-License-Identifier: GPL-3.0-or-later
# The hyperlink label, the About box and its entry: real Qt widgets on the offscreen platform.
# Also leaves pictures of the box in build/dev/about-box.png and build/dev/about-box-hover.png.
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_WINDOW_PACKAGES[@]}" qt6-base-dev-tools
korvane_build dev --target korvane_about_tests
QT_QPA_PLATFORM=offscreen KORVANE_ABOUT_SHOT="$PWD/build/dev/about-box.png" \
  korvane_ctest --preset dev -R '^about\.' --timeout 300
