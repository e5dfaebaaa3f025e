# SPDX-License-Identifier: GPL-3.0-or-later
# The window (Qt 6 Widgets) off screen in the debug build; then its worker tests (stop, closing
# during a scan) again under ThreadSanitizer, and the whole suite under ASan + UBSan.
source scripts/deps.sh
# FFmpeg's libraries for the details box's pictures and 导出视频, ffprobe to check the files.
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_TEST_PACKAGES[@]}" \
  "${KORVANE_WINDOW_PACKAGES[@]}" "${KORVANE_VIDEO_PACKAGES[@]}" ffmpeg
korvane_build dev
if [ ! -x build/dev/app/korvane ]; then
  echo "The window was not built: are Qt 6 Widgets and Qt's lrelease and lupdate installed?" >&2
  exit 1
fi
korvane_ctest --preset dev -R '^window\.' --timeout 600
korvane_build tsan --target korvane_window_tests
korvane_ctest --preset window-tsan --timeout 600
# And the whole window suite under AddressSanitizer + UndefinedBehaviorSanitizer.
korvane_build asan --target korvane_window_tests
korvane_ctest --preset asan -R '^window\.' --timeout 900
