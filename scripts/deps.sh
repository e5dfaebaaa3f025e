# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by ./run and ./test: the Debian packages the project needs, and a function that
# installs the missing ones (as root, or through sudo).

KORVANE_BUILD_PACKAGES=(cmake ninja-build g++ make pkg-config libgtest-dev libssl-dev libewf-dev
                        libxml2-dev)
KORVANE_TEST_PACKAGES=(util-linux)
# The window: Qt 6 Widgets, Qt's own texts in Chinese, Qt's translation tools (lupdate, lrelease:
# the window's English texts are compiled when it is built), and fonts for Chinese and Latin text.
KORVANE_WINDOW_PACKAGES=(qt6-base-dev qt6-translations-l10n qt6-l10n-tools libgl-dev
                         fonts-wqy-zenhei fonts-dejavu-core)
# The Debian packages (dpkg-shlibdeps computes their dependencies) and the checks of what they
# install.
KORVANE_PACKAGE_PACKAGES=(dpkg-dev gzip file lintian desktop-file-utils appstream man-db
                          bash-completion)
# Evidence sources: ewfacquire and ewfexport make and read back E01 images; jq reads case logs.
KORVANE_EVIDENCE_PACKAGES=(ewf-tools jq coreutils)
# Video export (korvane-scan --export, --thumbnails): FFmpeg's libraries. Without them the rest
# builds, and korvane-scan says that the video options are unavailable.
KORVANE_VIDEO_PACKAGES=(libavformat-dev libavcodec-dev libswscale-dev libavutil-dev)
# The report (korvane-scan --report, 生成报告): libxml2 writes it.
KORVANE_REPORT_PACKAGES=(libxml2-dev)
# The fuzz targets: clang with libFuzzer and the sanitizers' runtimes.
KORVANE_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)

korvane_install() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing missing packages: ${missing[*]}" >&2
  "${sudo[@]}" apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >&2
}

# Configures and builds a preset, showing the build's output only when it fails.
korvane_build() {
  local preset=$1
  shift
  local log="build/$preset.log"
  mkdir -p build
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" "$@"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "Build failed (preset $preset); the log is in $log" >&2
    return 1
  fi
}

# Runs ctest with the arguments given. Under ./test (KORVANE_RESULTS set) each run also leaves its
# results as JUnit XML in that folder, which ./test adds up. A run that finds no test fails.
korvane_ctest() {
  if [ -z "${KORVANE_RESULTS:-}" ]; then
    ctest --no-tests=error "$@"
    return
  fi
  mkdir -p "$KORVANE_RESULTS"
  local file
  file=$(mktemp "$KORVANE_RESULTS/ctest-XXXXXX.xml")
  ctest --no-tests=error --output-junit "$file" "$@"
}

# Records the outcome of checks run outside ctest (NAME PASSED FAILED) in the same form.
korvane_record_results() {
  [ -n "${KORVANE_RESULTS:-}" ] || return 0
  mkdir -p "$KORVANE_RESULTS"
  local file
  file=$(mktemp "$KORVANE_RESULTS/checks-XXXXXX.xml")
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<testsuite name="%s" tests="%d" failures="%d" skipped="0"/>\n' \
    "$1" "$(($2 + $3))" "$3" >"$file"
}
