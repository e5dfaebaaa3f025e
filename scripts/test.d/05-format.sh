# SPDX-License-Identifier: GPL-3.0-or-later
# Every C++ source and header formatted as .clang-format says, by the clang-format this script
# pins (Debian 12's version 14): formatting differs between versions, so the check uses one. And
# every source file names its licence (SPDX) at the top.
source scripts/deps.sh
korvane_install git clang-format-14
mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
unformatted=()
for f in "${files[@]}"; do
  clang-format-14 --style=file --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
# And every source file says its licence at the top (the first three lines).
mapfile -t sources < <(git ls-files -- '*.cpp' '*.h' '*.inc' '*.sh' '*.cmake' 'CMakeLists.txt' \
  '*/CMakeLists.txt' '*.ui' '*.qrc' '*.rc' run test .ci/run)
unlicensed=()
for f in "${sources[@]}"; do
  head -3 "$f" | grep -q 'SPDX-License-Identifier: GPL-3.0-or-later' || unlicensed+=("$f")
done
failed=0
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "Not formatted (clang-format-14 -i FILE mends them): ${unformatted[*]}"
  failed=$((failed + 1))
fi
if [ ${#unlicensed[@]} -gt 0 ]; then
  echo "No SPDX-License-Identifier line at the top: ${unlicensed[*]}"
  failed=$((failed + 1))
fi
echo "${#files[@]} files formatted as .clang-format says; ${#sources[@]} source files checked for their licence line"
korvane_record_results format $((2 - failed)) "$failed"
[ "$failed" -eq 0 ]
