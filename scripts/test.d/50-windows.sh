# SPDX-License-Identifier: GPL-3.0-or-later
# The core, korvane-scan and the window built for 64-bit Windows and tested under wine. The cross
# compiler and wine are large: CI installs them, elsewhere scripts/install-windows-toolchain.sh
# does. The window links the static Qt for Windows that scripts/unpack-qt-mingw.sh unpacks; the
# build machine's Qt gives the host tools (moc, uic, rcc) and Qt's Chinese texts, and its fonts
# stand in for those of a Windows system.
source scripts/deps.sh
if [ "${CI:-}" = true ]; then
  bash scripts/install-windows-toolchain.sh
fi
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || [ ! -x /usr/lib/wine/wine64 ] ||
  [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  echo "skipped: the Windows build needs MinGW-w64 and wine; scripts/install-windows-toolchain.sh installs them"
  exit 0
fi
korvane_install zip unzip "${KORVANE_WINDOW_PACKAGES[@]}"
window=true
if ! bash scripts/unpack-qt-mingw.sh; then
  if [ "${CI:-}" = true ]; then
    echo "FAILED: the window's Windows build needs the static Qt for Windows" >&2
    exit 1
  fi
  echo "skipped: the window for Windows (no static Qt for Windows); the core and korvane-scan only"
  window=false
fi
korvane_build mingw
if [ "$window" = true ] && [ ! -f build/mingw/app/korvane.exe ]; then
  echo "FAILED: korvane.exe was not built; see build/mingw.log" >&2
  exit 1
fi

# Start wine's server and services with their output detached, or ctest would wait for them;
# stop them afterwards, also when the stage fails. A server left running by an earlier run that
# was cut short is taken over.
export WINEPREFIX="$PWD/build/mingw/wine" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1
status=0
# The window's suites (form, list, save, About, load) off screen, then everything else; the long
# runs stay out, as on Linux.
count() { ctest --preset mingw -N -LE long "$@" | sed -n 's/^Total Tests: //p'; }
if [ "$window" = true ]; then
  echo "Windows: $(count -R '^(window|about)\.') window tests, $(count -E '^(window|about)\.') others"
  korvane_ctest --preset mingw -LE long -R '^(window|about)\.' --timeout 600 || status=$?
fi
korvane_ctest --preset mingw -LE long -E '^(window|about)\.' --timeout 600 || status=$?
# The zip for Windows users: the programs, the README and the licence, with its checksum.
zip=$(bash scripts/windows-zip.sh | tail -1)
programs=(korvane-scan.exe)
[ "$window" = true ] && programs+=(korvane.exe)
listing=$(unzip -Z1 "$zip")
missing=()
for program in "${programs[@]}"; do
  grep -qx "[^/]*/$program" <<<"$listing" || missing+=("$program")
done
if [ ${#missing[@]} -eq 0 ] && (cd "${zip%/*}" && sha256sum -c --quiet "${zip##*/}.sha256"); then
  korvane_record_results windows-zip 1 0
else
  echo "FAILED: the Windows zip $zip lacks ${missing[*]:-nothing} or its checksum does not match" >&2
  korvane_record_results windows-zip 0 1
  status=1
fi
exit "$status"
