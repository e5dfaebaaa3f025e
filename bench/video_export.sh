#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Video export speed against FFmpeg's own demuxer: builds the bench preset, writes an image of one
# camera's recording of real H.264 video (SECONDS long, 25 frames a second), saves it as a .dav
# with korvane-scan --save, then times in turn, round after round, on that same .dav:
#   korvane-scan --quiet 0.dav --export mp4 DIR     (scan, then export by stream copy)
#   ffmpeg -f dhav -i 0.dav -c copy out.mp4
# Prints the median of each, wall-clock and processor time (user + system: what a busy machine
# does not blur), frames a second, and the ratios of ffmpeg's times to korvane-scan's (above 1:
# korvane-scan is faster). korvane-scan's time includes its scan of the .dav, its flushing the
# file to the disk (ffmpeg does not) and the SHA-256 for exports.csv. Outputs go to
# build/bench/video-out.
#
#   bench/video_export.sh [--rounds N] [--seconds N]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

rounds=5
seconds=3600
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    *) echo "usage: $0 [--rounds N] [--seconds N]" >&2; exit 2 ;;
  esac
done

korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_VIDEO_PACKAGES[@]}" libbenchmark-dev \
  ffmpeg coreutils bc time
korvane_build bench --target korvane-scan korvane-video-image
scan=build/bench/cli/korvane-scan
work=build/bench/video-out
rm -rf "$work"
mkdir -p "$work/saved"
image=$work/camera.img
build/bench/bench/korvane-video-image tests/data "$image" "$seconds" >"$work/image.txt"
read -r frames _ bytes _ <"$work/image.txt"
"$scan" --quiet "$image" --save "$work/saved" >/dev/null
dav=$work/saved/0.dav
echo "One recording of $frames frames ($bytes bytes), saved as $dav" >&2

# Wall-clock and processor (user + system) seconds of a command, to the hundredth.
timed() {
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" >/dev/null
  awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$work/time"
}
k_wall=() k_cpu=() f_wall=() f_cpu=() s_wall=() s_cpu=()
for round in $(seq "$rounds"); do
  cat "$dav" >/dev/null  # in the page cache for both
  rm -rf "$work/k" && mkdir "$work/k"
  read -r w c < <(timed "$scan" --quiet "$dav" --export mp4 "$work/k")
  k_wall+=("$w") k_cpu+=("$c")
  rm -f "$work/f.mp4"
  read -r w c < <(timed ffmpeg -nostdin -v error -f dhav -i "$dav" -c copy "$work/f.mp4")
  f_wall+=("$w") f_cpu+=("$c")
  # The same, with the file flushed to the disk as korvane-scan does with each file it writes.
  rm -f "$work/s.mp4"
  read -r w c < <(timed sh -c 'ffmpeg -nostdin -v error -f dhav -i "$1" -c copy "$2" && sync "$2"' \
    sh "$dav" "$work/s.mp4")
  s_wall+=("$w") s_cpu+=("$c")
  echo "round $round: korvane-scan ${k_wall[-1]} s (processor ${k_cpu[-1]} s)," \
    "ffmpeg ${f_wall[-1]} s (processor ${f_cpu[-1]} s)," \
    "ffmpeg + sync ${s_wall[-1]} s (processor ${s_cpu[-1]} s)" >&2
done
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
# Both files hold the same pictures.
cmp <(ffmpeg -nostdin -v error -i "$work/k/0.mp4" -f framemd5 - | grep -v '^#' | awk -F, '{ print $NF }') \
    <(ffmpeg -nostdin -v error -i "$work/f.mp4" -f framemd5 - | grep -v '^#' | awk -F, '{ print $NF }') ||
  { echo "the two files decode to different pictures" >&2; exit 1; }
kw=$(median "${k_wall[@]}") kc=$(median "${k_cpu[@]}")
fw=$(median "${f_wall[@]}") fc=$(median "${f_cpu[@]}")
sw=$(median "${s_wall[@]}") sc=$(median "${s_cpu[@]}")
echo "Medians of $rounds rounds, $frames frames (wall-clock seconds, processor seconds):"
printf '%-34s %6.2f s  %6.2f s  %7.0f frames/s\n' "korvane-scan --export mp4" "$kw" "$kc" \
  "$(echo "$frames / $kw" | bc -l)"
printf '%-34s %6.2f s  %6.2f s  %7.0f frames/s\n' "ffmpeg -f dhav -c copy" "$fw" "$fc" \
  "$(echo "$frames / $fw" | bc -l)"
printf '%-34s %6.2f s  %6.2f s  %7.0f frames/s\n' "ffmpeg -f dhav -c copy, sync FILE" "$sw" \
  "$sc" "$(echo "$frames / $sw" | bc -l)"
printf 'ratio ffmpeg / korvane-scan: %.2f wall-clock, %.2f processor (above 1: korvane-scan is faster)\n' \
  "$(echo "$fw / $kw" | bc -l)" "$(echo "$fc / $kc" | bc -l)"
printf 'ratio ffmpeg + sync / korvane-scan: %.2f wall-clock, %.2f processor\n' \
  "$(echo "$sw / $kw" | bc -l)" "$(echo "$sc / $kc" | bc -l)"
