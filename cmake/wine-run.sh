#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# wine-run.sh PREFIX PROGRAM.exe [ARGS...]: runs a 64-bit Windows console program under wine in the
# wine prefix PREFIX (made on first use), without a display and without wine's own diagnostics.
set -eu
prefix=$1
shift
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
mkdir -p "$prefix"
# Wine keeps helper processes (its server and services) alive after the program ends; the first
# wine process starts them with its own output, so a caller reading our output (ctest) would wait
# for them. Start them with their output detached unless this prefix's server is running.
server="server-$(printf '%x-%x' $(stat -c '%d %i' "$prefix"))"
if [ -z "$(find /proc -mindepth 2 -maxdepth 2 -name cwd -lname "*/$server" 2>/dev/null | head -n 1)" ]; then
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
# A Windows system brings fonts for Latin and Chinese text; here the build machine's stand in for
# them (the window's tests draw text off screen with the fonts of the system's font folder).
fonts="$prefix/drive_c/windows/Fonts"
if [ -d "$fonts" ]; then
  for font in /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf \
    /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc; do
    if [ -e "$font" ] && [ ! -e "$fonts/${font##*/}" ]; then
      ln -s "$font" "$fonts/"
    fi
  done
fi
exec "$wine" "$@"
