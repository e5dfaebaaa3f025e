#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The scan's speed now against an earlier version of it, in one run: builds korvane-scan of this
# tree (the bench preset) and of git revision OLD (default: main) side by side, writes two images
# with korvane-mkimage, keeps each in the page cache and times both scanners over both, taking
# turns, round after round. Prints the medians in GB/s and new / old for each image:
#   - sparse: noise with two recordings every 64 MiB (`korvane-mkimage bench`), where the scan's
#     time is the search's;
#   - dense: frames of four cameras back to back (`korvane-mkimage dense`), where every few KB a
#     header, its blocks and its trailer are read and both groupings are formed.
#
#   bench/scan_speed_compare.sh [--old REV] [--rounds N] [--size-mib N] [--workers N]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

old=main
rounds=7
size_mib=1024
workers=
while [ $# -gt 0 ]; do
  case $1 in
    --old) old=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --size-mib) size_mib=$2; shift 2 ;;
    --workers) workers="--workers $2"; shift 2 ;;
    *) echo "usage: $0 [--old REV] [--rounds N] [--size-mib N] [--workers N]" >&2; exit 2 ;;
  esac
done

korvane_install "${KORVANE_BUILD_PACKAGES[@]}" libbenchmark-dev util-linux coreutils git
korvane_build bench --target korvane-scan korvane-mkimage
new_scan=build/bench/cli/korvane-scan
mkimage=build/bench/tools/korvane-mkimage

# The old version's sources from git (no checkout of it), built release with the same compiler.
old_rev=$(git rev-parse --verify "$old^{commit}")
old_src=build/old-src/$old_rev
if [ ! -x "$old_src/build/cli/korvane-scan" ]; then
  rm -rf "$old_src"
  mkdir -p "$old_src"
  git archive "$old_rev" | tar -x -C "$old_src"
  if ! { cmake -S "$old_src" -B "$old_src/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
           -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_GUI=OFF &&
         cmake --build "$old_src/build" --target korvane-scan; } >build/old-src.log 2>&1; then
    cat build/old-src.log >&2
    echo "The build of $old failed; the log is in build/old-src.log" >&2
    exit 1
  fi
fi
old_scan=$old_src/build/cli/korvane-scan

size=$((size_mib * 1024 * 1024))
for kind in sparse dense; do
  image=build/bench/$kind-$size_mib.img
  if [ ! -f "$image" ] || [ "$(stat -c %s "$image")" != "$size" ]; then
    echo "Writing a $size_mib MiB $kind image to $image ..." >&2
    mode=bench
    [ $kind = dense ] && mode=dense
    "$mkimage" $mode "$image" "$size_mib" >/dev/null
  fi
done

resident() { fincore --bytes --noheadings --output RES "$1" | tr -d ' '; }
warm() {
  local tries=0
  while [ "$(resident "$1")" != "$size" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 5 ]; then
      echo "warning: only $(resident "$1") of $size bytes of $1 stay in the page cache" >&2
      return
    fi
    cat "$1" >/dev/null
  done
}
seconds() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  echo "$(((end - start) / 1000000)).$(printf '%06d' $(((end - start) % 1000000)))e-3"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
gbps() { awk -v b="$size" -v s="$1" 'BEGIN { printf "%.2f", b / s / 1e9 }'; }

# Both find the same time grouping before they are timed.
for kind in sparse dense; do
  image=build/bench/$kind-$size_mib.img
  warm "$image"
  if ! cmp -s <("$old_scan" --quiet --format csv "$image") <("$new_scan" --quiet --format csv "$image"); then
    echo "the two versions list $image differently" >&2
    exit 1
  fi
done

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "old: $old ($old_rev), new: this tree; $size_mib MiB images in the page cache; $rounds rounds, medians"
for kind in sparse dense; do
  image=build/bench/$kind-$size_mib.img
  old_times= new_times=
  for ((r = 1; r <= rounds; r++)); do
    # Take turns, so that a slow minute of a shared machine falls on both.
    if ((r % 2)); then
      warm "$image"; old_times+="$(seconds "$old_scan" --quiet $workers "$image") "
      warm "$image"; new_times+="$(seconds "$new_scan" --quiet $workers "$image") "
    else
      warm "$image"; new_times+="$(seconds "$new_scan" --quiet $workers "$image") "
      warm "$image"; old_times+="$(seconds "$old_scan" --quiet $workers "$image") "
    fi
  done
  old_med=$(echo "$old_times" | tr ' ' '\n' | grep . | median)
  new_med=$(echo "$new_times" | tr ' ' '\n' | grep . | median)
  runs() { for t in $1; do printf '%s ' "$(gbps "$t")"; done; }
  printf '  %-6s old %6s GB/s   new %6s GB/s   new / old %s   (old runs: %s; new runs: %s)\n' \
    "$kind" "$(gbps "$old_med")" "$(gbps "$new_med")" \
    "$(awk -v o="$old_med" -v n="$new_med" 'BEGIN { printf "%.2f", o / n }')" \
    "$(runs "$old_times")" "$(runs "$new_times")"
done
