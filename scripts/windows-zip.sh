#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds korvane-scan and, where the static Qt for Windows is at hand, the window korvane for
# 64-bit Windows (preset mingw) and packs them with the README as text and the licence into
# build/mingw/dist/korvane-VERSION-windows-x64.zip, with its SHA-256 in a .sha256 file beside it
# (as sha256sum prints it). Needs MinGW-w64 (scripts/install-windows-toolchain.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
korvane_install zip
targets=(korvane-scan)
if bash scripts/unpack-qt-mingw.sh 2>/dev/null; then
  korvane_install "${KORVANE_WINDOW_PACKAGES[@]}"
  targets+=(korvane)
else
  echo "no static Qt for Windows: the zip holds korvane-scan.exe alone" >&2
fi
korvane_build mingw --target "${targets[@]}"
version=$(sed -n 's/^project(Korvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="korvane-$version-windows-x64"
out=build/mingw/dist
stage="$out/$name"
rm -rf "$stage" "$out/$name.zip" "$out/$name.zip.sha256"
mkdir -p "$stage"
cp build/mingw/cli/korvane-scan.exe "$stage/"
if [[ " ${targets[*]} " == *" korvane "* ]]; then
  cp build/mingw/app/korvane.exe "$stage/"
fi
# Windows' Notepad reads CRLF text best.
sed 's/$/\r/' README.md >"$stage/README.txt"
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
(cd "$out" && zip -q -X -r "$name.zip" "$name" && sha256sum "$name.zip" >"$name.zip.sha256")
rm -rf "$stage"
echo "$out/$name.zip"
