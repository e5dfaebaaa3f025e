#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times a scan that hashes what it reads against sha256sum of the same bytes, in one run:
#   bench/hash.sh [--rounds N] [--mib MIB]
# Builds the release preset, writes a bench image (default 2048 MiB) with korvane-mkimage, keeps it
# in the page cache, then times `sha256sum IMAGE` and `korvane-scan --quiet --hash sha256 IMAGE`
# round after round and prints the medians and their ratio (the goal: at most 1.1). The scan's
# hash is checked against sha256sum's.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=5 mib=2048
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --mib) mib=$2; shift 2 ;;
    *) echo "usage: bench/hash.sh [--rounds N] [--mib MIB]" >&2; exit 2 ;;
  esac
done
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" bc
korvane_build release --target korvane-scan korvane-mkimage
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
img=$dir/bench.img
build/release/tools/korvane-mkimage bench "$img" "$mib" >/dev/null
cat "$img" >/dev/null
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); echo "$t1 - $t0" | bc -l; }
want=$(sha256sum "$img" | cut -d' ' -f1)
got=$(build/release/cli/korvane-scan --quiet --hash sha256 "$img" 2>&1 >/dev/null |
  sed -n 's/^korvane-scan: sha256 \([0-9a-f]*\) .*/\1/p')
if [ "$got" != "$want" ]; then
  echo "the scan's sha256 $got differs from sha256sum's $want" >&2
  exit 1
fi
sums=() scans=()
for _ in $(seq "$rounds"); do
  sums+=("$(seconds sha256sum "$img")")
  scans+=("$(seconds build/release/cli/korvane-scan --quiet --hash sha256 "$img")")
done
s=$(printf '%s\n' "${sums[@]}" | median)
k=$(printf '%s\n' "${scans[@]}" | median)
printf 'sha256sum                              %6.2f s  (%.2f GB/s)\n' "$s" "$(echo "$mib * 1048576 / $s / 1000000000" | bc -l)"
printf 'korvane-scan --quiet --hash sha256     %6.2f s  (%.2f GB/s)\n' "$k" "$(echo "$mib * 1048576 / $k / 1000000000" | bc -l)"
printf 'ratio (scan / sha256sum)               %6.2f   (goal: at most 1.10)\n' "$(echo "$k / $s" | bc -l)"
