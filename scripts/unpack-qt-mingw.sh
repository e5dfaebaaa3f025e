#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Unpacks the static Qt 6 for 64-bit Windows (MinGW-w64), which the window's Windows build links,
# into build/qt6-mingw, where the mingw preset looks for it; again only when the archive changes.
# The archive is $KORVANE_QT_MINGW_ARCHIVE, or qt6-mingw/qt6-mingw.tar.xz in the folder `shared`
# beside the checkout (its BUILD.md says how it was made). Fails, saying so, without an archive.
set -euo pipefail
cd "$(dirname "$0")/.."
main=$(cd "$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null || echo .git)/.." &&
  pwd)
archive=
for candidate in "${KORVANE_QT_MINGW_ARCHIVE:-}" ../shared/qt6-mingw/qt6-mingw.tar.xz \
  "$main/../shared/qt6-mingw/qt6-mingw.tar.xz"; do
  if [ -n "$candidate" ] && [ -f "$candidate" ]; then
    archive=$candidate
    break
  fi
done
if [ -z "$archive" ]; then
  echo "no static Qt for Windows: set KORVANE_QT_MINGW_ARCHIVE to qt6-mingw.tar.xz" >&2
  exit 1
fi
stamp=build/qt6-mingw/.unpacked-from
id="$(realpath "$archive") $(stat -c '%s %Y' "$archive")"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$id" ]; then
  exit 0
fi
rm -rf build/qt6-mingw
mkdir -p build
tar xJf "$archive" -C build
echo "$id" >"$stamp"
