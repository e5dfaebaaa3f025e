# The core and korvane-scan built for 64-bit Windows and tested under wine. The cross compiler and
# wine are large: CI installs them, elsewhere scripts/install-windows-toolchain.sh does.
source scripts/deps.sh
if [ "${CI:-}" = true ]; then
  bash scripts/install-windows-toolchain.sh
fi
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || [ ! -x /usr/lib/wine/wine64 ] ||
  [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  echo "skipped: the Windows build needs MinGW-w64 and wine; scripts/install-windows-toolchain.sh installs them"
  exit 0
fi
korvane_install zip unzip
korvane_build mingw

# Start wine's server and services with their output detached, or ctest would wait for them;
# stop them afterwards.
export WINEPREFIX="$PWD/build/mingw/wine" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1
status=0
korvane_ctest --preset mingw --timeout 600 || status=$?
# The zip for Windows users: korvane-scan.exe, the README and the licence, with its checksum.
zip=$(bash scripts/windows-zip.sh | tail -1)
if unzip -l "$zip" | grep -q 'korvane-scan.exe' &&
  (cd "${zip%/*}" && sha256sum -c --quiet "${zip##*/}.sha256"); then
  korvane_record_results windows-zip 1 0
else
  echo "FAILED: the Windows zip $zip lacks korvane-scan.exe or its checksum" >&2
  korvane_record_results windows-zip 0 1
  status=1
fi
/usr/lib/wine/wineserver -k || true
exit "$status"
