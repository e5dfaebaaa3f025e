#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what the Windows build and its tests need: the MinGW-w64 cross compiler (posix thread
# model), wine to run the tests, and GoogleTest's sources. About 175 MB to download, 1.1 GB on disk.
# The window's Windows build also takes, from the build machine, Qt's host tools (moc, uic, rcc),
# Qt's Chinese texts and the fonts its tests draw with: the window's packages.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_WINDOW_PACKAGES[@]}" googletest \
  g++-mingw-w64-x86-64-posix wine64
