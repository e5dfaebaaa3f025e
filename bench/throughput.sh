#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# End-to-end scan speed against the speed of reading: builds the bench preset, writes a test image
# (4 GiB by default) with korvane-mkimage, keeps it in the page cache, and times in turn, round
# after round, `dd bs=1M`, `rg -c -a -F DHAV` and `korvane-scan --quiet` over it. Prints the
# median of each in GB/s (10^9 bytes a second) and korvane-scan's ratios to dd and rg.
#
#   bench/throughput.sh [--rounds N] [--size-mib N] [--image FILE] [--kernels] [--window]
#
# --kernels also runs the kernel benchmarks; --window also times the window's scan against a
# plain scan of the same image in one process (korvane-window-bench, off screen; installs Qt). The image is kept (build/bench/throughput.img by
# default) and reused while its size matches. Needs free memory for the whole image.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

rounds=5
size_mib=4096
image=build/bench/throughput.img
kernels=0
window=0
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --size-mib) size_mib=$2; shift 2 ;;
    --image) image=$2; shift 2 ;;
    --kernels) kernels=1; shift ;;
    --window) window=1; shift ;;
    *) echo "usage: $0 [--rounds N] [--size-mib N] [--image FILE] [--kernels] [--window]" >&2; exit 2 ;;
  esac
done

korvane_install "${KORVANE_BUILD_PACKAGES[@]}" libbenchmark-dev ripgrep util-linux time coreutils
korvane_build bench
scan=build/bench/cli/korvane-scan
size=$((size_mib * 1024 * 1024))

if [ ! -f "$image" ] || [ "$(stat -c %s "$image")" != "$size" ] || [ ! -f "$image.counts" ]; then
  echo "Writing a $size_mib MiB image to $image ..." >&2
  rm -f "$image.counts"
  build/bench/tools/korvane-mkimage bench "$image" "$size_mib" >"$image.tmp-counts"
  mv "$image.tmp-counts" "$image.counts"
fi
read -r _ want_frames _ want_recordings <"$image.counts"

resident() { fincore --bytes --noheadings --output RES "$image" | tr -d ' '; }
# Reads the image into the page cache until all of it is there (the kernel may evict cached
# files even while memory is free, so this runs before every timing).
warm() {
  local tries=0
  while [ "$(resident)" != "$size" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 5 ]; then
      echo "warning: only $(resident) of $size bytes of $image stay in the page cache" >&2
      return
    fi
    cat "$image" >/dev/null
  done
}

# Seconds a command takes, to the nanosecond.
seconds() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  echo "$(((end - start) / 1000000)).$(printf '%06d' $(((end - start) % 1000000)))e-3"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
gbps() { awk -v b="$size" -v s="$1" 'BEGIN { printf "%.2f", b / s / 1e9 }'; }

# Check that the scan finds what the image holds before timing it.
warm
got=$("$scan" --quiet --format json "$image" | awk -F'"frames": ' 'NF > 1 { f += $2 + 0; r++ } END { print f + 0, r + 0 }')
if [ "$got" != "$want_frames $want_recordings" ]; then
  echo "korvane-scan found frames/recordings '$got', the image holds '$want_frames $want_recordings'" >&2
  exit 1
fi
peak_kib=$( { /usr/bin/time -f '%M' "$scan" --quiet "$image" >/dev/null; } 2>&1 | tail -1)

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
names=("dd bs=1M" "rg -c -a -F DHAV" "korvane-scan --quiet" "korvane-scan --quiet --workers 1")
declare -A times
for ((r = 1; r <= rounds; r++)); do
  for i in "${!names[@]}"; do
    warm
    case $i in
      0) t=$(seconds dd if="$image" of=/dev/null bs=1M) ;;
      1) t=$(seconds rg -c -a -F DHAV "$image") ;;
      2) t=$(seconds "$scan" --quiet "$image") ;;
      3) t=$(seconds "$scan" --quiet --workers 1 "$image") ;;
    esac
    times[$i]+="$t "
  done
done

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores; $("$scan" --version)"
echo "Image: $image, $size bytes in the page cache, $want_frames frames in $want_recordings recordings"
echo "$rounds rounds, medians; load average at the start: $load_before, at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A med
for i in "${!names[@]}"; do
  med[$i]=$(echo "${times[$i]}" | tr ' ' '\n' | grep . | median)
  all=$(for t in ${times[$i]}; do printf '%s ' "$(gbps "$t")"; done)
  printf '  %-34s %6s GB/s   (runs: %s)\n' "${names[$i]}" "$(gbps "${med[$i]}")" "$all"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }
echo "korvane-scan / dd: $(ratio "${med[2]}" "${med[0]}")x   korvane-scan / rg: $(ratio "${med[2]}" "${med[1]}")x   two workers / one: $(ratio "${med[2]}" "${med[3]}")x"
echo "korvane-scan peak RSS: $(awk -v k="$peak_kib" 'BEGIN { printf "%.1f", k / 1024 }') MiB"

if [ "$kernels" = 1 ]; then
  build/bench/bench/korvane_kernel_bench --benchmark_min_time=0.3
fi

if [ "$window" = 1 ]; then
  korvane_install "${KORVANE_WINDOW_PACKAGES[@]}"
  korvane_build bench --target korvane-window-bench
  warm
  QT_QPA_PLATFORM=offscreen build/bench/bench/korvane-window-bench "$image" "$rounds" 2>/dev/null
fi
