#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# End-to-end scan speed against the speed of reading: builds the bench preset, writes a test image
# (4 GiB by default) with korvane-mkimage, keeps it in the page cache, and times in turn, round
# after round, `dd bs=1M`, `rg -c -a -F DHAV` and `korvane-scan --quiet` over it (the image read
# through maps, the default, and with --read pread; one and two workers). Prints the median of
# each in GB/s (10^9 bytes a second), korvane-scan's ratios to dd and rg, and the scan's peak RSS
# (file pages it maps included), and the fastest two threads can read the cached image at all,
# taken every round (korvane-read-ceiling: the image mapped in advance, every byte loaded).
#
#   bench/throughput.sh [--rounds N] [--size-mib N] [--image FILE] [--kernels] [--window]
#                       [--loop] [--adversarial]
#
# --kernels also runs the kernel benchmarks; --window also times the window's scan against a
# plain scan of the same image in one process (korvane-window-bench, off screen; installs Qt),
# and against korvane-scan's rounds above.
# --loop also times the scan of the image through a read-only loop block device (read with pread,
# as drives are; needs losetup and the right to use it). --adversarial also times both ways of
# reading on 256 MiB files of nothing but "DHAV", of nothing but 'D', and of "DH" pairs. The image
# is kept (build/bench/throughput.img by default) and reused while its size matches. Needs free
# memory for the whole image.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

rounds=5
size_mib=4096
image=build/bench/throughput.img
kernels=0
window=0
loop=0
adversarial=0
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --size-mib) size_mib=$2; shift 2 ;;
    --image) image=$2; shift 2 ;;
    --kernels) kernels=1; shift ;;
    --window) window=1; shift ;;
    --loop) loop=1; shift ;;
    --adversarial) adversarial=1; shift ;;
    *) echo "usage: $0 [--rounds N] [--size-mib N] [--image FILE] [--kernels] [--window] [--loop] [--adversarial]" >&2; exit 2 ;;
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

# Every run starts from the same page cache: the image dropped from it and read back once with a
# plain read. How the kernel holds a cached file (4 KiB pages or folios of up to 2 MiB, which
# depends on how and when it came to be cached) changes what mapping it costs every program
# timed here, by up to 2x (see README.md, "Performance").
recache() { dd if="$1" iflag=nocache count=0 status=none && cat "$1" >/dev/null; }
recache "$image"
warm
# Check that the scan finds what the image holds before timing it.
got=$("$scan" --quiet --format json "$image" | awk -F'"frames": ' 'NF > 1 { f += $2 + 0; r++ } END { print f + 0, r + 0 }')
if [ "$got" != "$want_frames $want_recordings" ]; then
  echo "korvane-scan found frames/recordings '$got', the image holds '$want_frames $want_recordings'" >&2
  exit 1
fi
peak_kib=$( { /usr/bin/time -f '%M' "$scan" --quiet "$image" >/dev/null; } 2>&1 | tail -1)

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
names=("dd bs=1M" "rg -c -a -F DHAV" "korvane-scan --quiet" "korvane-scan --quiet --workers 1"
       "korvane-scan --quiet --read pread" "korvane-scan --quiet --read pread --workers 1")
declare -A times
ceiling_runs=""
for ((r = 1; r <= rounds; r++)); do
  for i in "${!names[@]}"; do
    warm
    case $i in
      0) t=$(seconds dd if="$image" of=/dev/null bs=1M) ;;
      1) t=$(seconds rg -c -a -F DHAV "$image") ;;
      2) t=$(seconds "$scan" --quiet "$image") ;;
      3) t=$(seconds "$scan" --quiet --workers 1 "$image") ;;
      4) t=$(seconds "$scan" --quiet --read pread "$image") ;;
      5) t=$(seconds "$scan" --quiet --read pread --workers 1 "$image") ;;
    esac
    times[$i]+="$t "
  done
  # The fastest two threads read the image this round (its own timing, the pages mapped first).
  ceiling_runs+="$(build/bench/bench/korvane-read-ceiling "$image" 1 2) "
done

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores; $("$scan" --version)"
echo "Image: $image, $size bytes in the page cache, $want_frames frames in $want_recordings recordings"
echo "$rounds rounds, medians; load average at the start: $load_before, at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A med
for i in "${!names[@]}"; do
  med[$i]=$(echo "${times[$i]}" | tr ' ' '\n' | grep . | median)
  all=$(for t in ${times[$i]}; do printf '%s ' "$(gbps "$t")"; done)
  printf '  %-44s %6s GB/s   (runs: %s)\n' "${names[$i]}" "$(gbps "${med[$i]}")" "$all"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }
echo "korvane-scan / dd: $(ratio "${med[2]}" "${med[0]}")x   korvane-scan / rg: $(ratio "${med[2]}" "${med[1]}")x   two workers / one: $(ratio "${med[2]}" "${med[3]}")x"
echo "one worker / rg: $(ratio "${med[3]}" "${med[1]}")x   maps / pread: $(ratio "${med[2]}" "${med[4]}")x (two workers), $(ratio "${med[3]}" "${med[5]}")x (one)"
two=$(echo "$ceiling_runs" | tr ' ' '\n' | grep . | median)
printf '  %-44s %6.2f GB/s   (runs: %s)\n' "reading every byte, mapped, two threads" "$two" "$ceiling_runs"
echo "korvane-scan / reading every byte with two threads: $(awk -v c="$two" -v s="${med[2]}" -v b="$size" 'BEGIN { printf "%.2f", b / s / 1e9 / c }')x   rg / that: $(awk -v c="$two" -v s="${med[1]}" -v b="$size" 'BEGIN { printf "%.2f", b / s / 1e9 / c }')x"
echo "korvane-scan peak RSS: $(awk -v k="$peak_kib" 'BEGIN { printf "%.1f", k / 1024 }') MiB (VmHWM: mapped file pages included)"

if [ "$kernels" = 1 ]; then
  build/bench/bench/korvane_kernel_bench --benchmark_min_time=0.3
fi

if [ "$window" = 1 ]; then
  korvane_install "${KORVANE_WINDOW_PACKAGES[@]}"
  korvane_build bench --target korvane-window-bench
  warm
  window_runs=$(QT_QPA_PLATFORM=offscreen build/bench/bench/korvane-window-bench "$image" "$rounds" 2>/dev/null)
  echo "$window_runs"
  # The window's scan (start button to end box, the window open) against korvane-scan's (the
  # program run, start to exit) of the rounds above.
  window_mbs=$(sed -n 's/^run [0-9]*: .* window \([0-9]*\) MB\/s.*/\1/p' <<<"$window_runs" | median)
  echo "the window's scan against korvane-scan --quiet: $(awk -v w="$window_mbs" -v s="${med[2]}" -v b="$size" 'BEGIN { printf "%.2f", w * 1e6 / (b / s) }')x (medians)"
fi

if [ "$loop" = 1 ]; then
  if device=$(losetup -r -f --show "$image" 2>/dev/null); then
    trap 'losetup -d "$device"' EXIT
    declare -a on_device=()
    for ((r = 1; r <= rounds; r++)); do
      cat "$device" >/dev/null
      on_device+=("$(seconds "$scan" --quiet "$device")")
    done
    printf '  %-44s %6s GB/s   (%s, read with pread)\n' "korvane-scan --quiet (loop device)" \
      "$(gbps "$(printf '%s\n' "${on_device[@]}" | median)")" "$device"
  else
    echo "loop device: losetup is not available here (root is needed)" >&2
  fi
fi

if [ "$adversarial" = 1 ]; then
  dir=build/bench/adversarial
  mkdir -p "$dir"
  adv_mib=256
  adv_size=$((adv_mib * 1024 * 1024))
  make_file() {  # NAME PATTERN
    [ -f "$dir/$1" ] && [ "$(stat -c %s "$dir/$1")" = "$adv_size" ] && return
    # yes ends on SIGPIPE when head has had enough: only the file's size tells.
    yes "$2" | tr -d '\n' | head -c "$adv_size" >"$dir/$1" || true
    [ "$(stat -c %s "$dir/$1")" = "$adv_size" ] || { echo "cannot write $dir/$1" >&2; exit 1; }
  }
  make_file magics DHAV
  make_file all-d D
  make_file pairs DHDHDHDHDHDHDHDx
  for f in magics all-d pairs; do recache "$dir/$f"; done
  for f in magics all-d pairs; do
    for how in mmap pread; do
      declare -a runs=()
      for ((r = 1; r <= rounds; r++)); do
        cat "$dir/$f" >/dev/null
        runs+=("$(seconds "$scan" --quiet --read "$how" "$dir/$f")")
      done
      printf '  %-44s %6s GB/s\n' "korvane-scan --read $how ($f)" \
        "$(awk -v b="$adv_size" -v s="$(printf '%s\n' "${runs[@]}" | median)" 'BEGIN { printf "%.2f", b / s / 1e9 }')"
    done
  done
fi
