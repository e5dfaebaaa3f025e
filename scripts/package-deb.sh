#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian packages korvane and korvane-cli from a release build (preset package) with
# CPack, into build/package/deb. Installs what the build and dpkg-shlibdeps need.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_WINDOW_PACKAGES[@]}" \
  "${KORVANE_PACKAGE_PACKAGES[@]}" "${KORVANE_VIDEO_PACKAGES[@]}"
korvane_build package
rm -rf build/package/deb
(cd build/package && cpack -G DEB -B "$PWD/deb" >cpack.log 2>&1) || {
  cat build/package/cpack.log >&2
  exit 1
}
ls build/package/deb/*.deb
