# Every C++ source and header formatted as .clang-format says, by the clang-format this script
# pins (Debian 12's version 14): formatting differs between versions, so the check uses one.
source scripts/deps.sh
korvane_install git clang-format-14
mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
unformatted=()
for f in "${files[@]}"; do
  clang-format-14 --style=file --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "Not formatted (clang-format-14 -i FILE mends them): ${unformatted[*]}"
  korvane_record_results format 0 1
  exit 1
fi
echo "${#files[@]} files formatted as .clang-format says"
korvane_record_results format 1 0
