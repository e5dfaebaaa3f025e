#!/usr/bin/env bash
# Installs what the Windows build and its tests need: the MinGW-w64 cross compiler (posix thread
# model), wine to run the tests, and GoogleTest's sources. About 175 MB to download, 1.1 GB on disk.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" googletest g++-mingw-w64-x86-64-posix wine64
