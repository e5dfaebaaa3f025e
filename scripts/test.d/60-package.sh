# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian packages: built by CPack (scripts/package-deb.sh), checked by lintian, installed with
# apt-get and run from the installed paths, then removed; the desktop entry, the AppStream
# metadata, the manual pages (rendered without warnings, and every option of --help in them) and
# the bash completion (syntax, and what it offers for a few prefixes).
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_WINDOW_PACKAGES[@]}" \
  "${KORVANE_PACKAGE_PACKAGES[@]}"
bash scripts/package-deb.sh
deb_dir=build/package/deb
scan=build/package/cli/korvane-scan
passed=0 failed=0
check() {  # NAME COMMAND...: runs the command, counts and reports its outcome
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    echo "FAILED: $name" >&2
    failed=$((failed + 1))
  fi
}

lintian_clean() {
  local out
  out=$(lintian --tag-display-limit 0 "$deb_dir"/*.deb 2>&1 | grep -v 'root privileges' || true)
  [ -n "$out" ] && echo "$out"
  ! grep -q '^E:' <<<"$out"
}
check "lintian reports no error" lintian_clean
check "desktop-file-validate" desktop-file-validate dist/korvane.desktop
check "appstreamcli validate" appstreamcli validate --no-net dist/org.korvane.Korvane.metainfo.xml

man_quiet() {  # PAGE: renders without a single warning
  local warnings
  warnings=$(MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$1: $warnings"; return 1; }
}
for page in build/package/man/korvane-scan.1 build/package/man/korvane.1; do
  check "man --warnings $page" man_quiet "$page"
done
# Every option korvane-scan --help lists is described in the manual page, and the reverse.
help_options() { "$scan" --help | grep -oE '^  --[a-z-]+' | sed 's/^ *//' | sort -u; }
man_options() {
  grep -E '^\.(B|BI|BR) \\-\\-[a-z]' man/korvane-scan.1 | sed -E 's/^\.[A-Z]+ //; s/\\-/-/g' |
    grep -oE '^--[a-z-]+' | sort -u
}
same_options() {
  local diff
  diff=$(diff <(help_options) <(man_options)) || { echo "--help < > manual page: $diff"; return 1; }
}
check "manual page and --help name the same options" same_options

check "bash -n on the completion" bash -n dist/korvane-scan.bash-completion
complete_words() {  # WORDS...: what the completion offers for the last word
  PATH="$PWD/build/package/cli:$PATH" bash -c '
    source /usr/share/bash-completion/bash_completion
    source dist/korvane-scan.bash-completion
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _korvane_scan korvane-scan "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$@"
}
check "completion of --fo" [ "$(complete_words korvane-scan --fo)" = "--format" ]
check "completion of --format values" \
  [ "$(complete_words korvane-scan --format '' | tr '\n' ' ')" = "csv json table tsv " ]
check "completion of --kernel values" grep -qx scalar <(complete_words korvane-scan --kernel '')
check "completion of --workers values" grep -qx 8 <(complete_words korvane-scan --workers '')
check "completion of --group values" \
  [ "$(complete_words korvane-scan --group '' | tr '\n' ' ')" = "camera time " ]
check "completion of --export formats" \
  [ "$(complete_words korvane-scan --export '' | tr '\n' ' ')" = "mkv mp4 " ]
check "completion of --hash values" grep -qx sha256 <(complete_words korvane-scan --hash '')

# Installed from the package and run from the installed paths, then removed. A machine that has
# Korvane installed already is left as it is.
if dpkg-query -W -f='${Status}' korvane korvane-cli 2>/dev/null | grep -q 'ok installed'; then
  echo "skipped: Korvane is installed on this machine already; the install checks leave it alone"
else
  dir=$(mktemp -d)
  trap 'apt-get remove -y -qq korvane korvane-cli >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT
  build/package/tools/korvane-mkimage demo "$dir/demo.img"
  build/package/tools/korvane-mkimage video tests/data/testsrc-352x288-25fps.h264 "$dir/video.img" \
    >/dev/null
  # Export runs in a module of its own (FFmpeg's libraries load only then): the installed program
  # must find it.
  installed_scan_exports() {
    rm -rf "$dir/videos" && mkdir "$dir/videos" &&
      /usr/bin/korvane-scan --quiet "$dir/video.img" --export mp4 "$dir/videos" >/dev/null 2>&1 &&
      [ "$(ls "$dir/videos"/*.mp4 | wc -l)" = 3 ]
  }
  installed_scan_lists_demo() {
    [ "$(/usr/bin/korvane-scan --quiet --format csv "$dir/demo.img")" = \
      "$("$scan" --quiet --format csv "$dir/demo.img")" ]
  }
  quietly() { "$@" >"$dir/apt.log" 2>&1 || { cat "$dir/apt.log"; return 1; }; }
  for package in korvane-cli korvane; do
    check "apt-get install $package" quietly apt-get install -y "./$(ls "$deb_dir"/${package}_*.deb)"
    check "$package: korvane-scan --version names the licence" \
      grep -q 'GPL-3.0-or-later' <(/usr/bin/korvane-scan --version)
    check "$package: the installed korvane-scan lists the demo image" installed_scan_lists_demo
    check "$package: the installed korvane-scan exports video" installed_scan_exports
    check "$package: man finds korvane-scan(1)" quietly man -w korvane-scan
    check "$package: the completion is where bash-completion looks" \
      test -f /usr/share/bash-completion/completions/korvane-scan
  done
  check "korvane: screenshot from the installed window" \
    env QT_QPA_PLATFORM=offscreen /usr/bin/korvane --screenshot "$dir/shot.png" --scan "$dir/demo.img"
  check "korvane: the screenshot is a PNG" grep -q 'PNG image data' <(file "$dir/shot.png")
  for f in /usr/share/applications/korvane.desktop /usr/share/metainfo/org.korvane.Korvane.metainfo.xml \
    /usr/share/icons/hicolor/48x48/apps/korvane.png /usr/share/man/man1/korvane.1.gz; do
    check "korvane installs $f" test -f "$f"
  done
  check "apt-get remove" quietly apt-get remove -y korvane
  check "nothing left in /usr/bin" test ! -e /usr/bin/korvane -a ! -e /usr/bin/korvane-scan
fi

echo "package stage: $passed passed, $failed failed"
korvane_record_results package "$passed" "$failed"
[ "$failed" -eq 0 ]
