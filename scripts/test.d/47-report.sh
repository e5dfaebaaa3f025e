# SPDX-License-Identifier: GPL-3.0-or-later
# The report: its unit tests, then korvane-scan --report on the camera image with both groupings,
# read back the way a reader of the case file would: opened in headless Chromium (a screenshot
# that shows the timeline and the table, the page's rows as the browser parsed them), both files
# checked as well-formed XML with xmllint, and report.xml's byte runs against the listing.
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_TEST_PACKAGES[@]}" \
  "${KORVANE_VIDEO_PACKAGES[@]}" "${KORVANE_REPORT_PACKAGES[@]}" chromium libxml2-utils python3
korvane_build dev --target korvane_report_tests korvane-scan korvane-mkimage
korvane_ctest --preset dev --timeout 600 -L report

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/dev/tools/korvane-mkimage cameras tests/data "$work/cam.img" >/dev/null
# Chromium as root needs --no-sandbox; a profile of its own keeps it from the user's.
browser=(chromium --headless --no-sandbox --disable-gpu --hide-scrollbars
         --user-data-dir="$work/profile" --window-size=1100,1400)

# One grouping's report, written and read back.
read_back() {
  local group=$1 out="$work/$1"
  mkdir -p "$out/saved" || return 1
  build/dev/cli/korvane-scan --quiet --group "$group" --format json --hash sha256 \
    --save "$out/saved" --report "$out" "$work/cam.img" >"$out/listing.json" 2>"$out/stderr" ||
    { cat "$out/stderr"; return 1; }
  grep -q "report written to" "$out/stderr" || return 1
  xmllint --noout "$out/report.html" "$out/report.xml" || return 1
  timeout 120 "${browser[@]}" --screenshot="$out/page.png" "file://$out/report.html" \
    >/dev/null 2>&1 || return 1
  timeout 120 "${browser[@]}" --dump-dom "file://$out/report.html" >"$out/dom.html" \
    2>/dev/null || return 1
  python3 tests/report/check_report.py "$out/listing.json" "$out/report.xml" "$out/dom.html" \
    "$out/page.png"
}

passed=0
failed=0
for group in time camera; do
  if read_back "$group"; then
    passed=$((passed + 1))
  else
    echo "report stage: the report of --group $group did not read back"
    failed=$((failed + 1))
  fi
done
korvane_record_results report-read-back "$passed" "$failed"
echo "report stage: $passed of 2 groupings' reports read back"
[ "$failed" -eq 0 ]
