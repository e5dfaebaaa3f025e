# SPDX-License-Identifier: GPL-3.0-or-later
# The search kernels in an optimised build: the differential tests of every kernel this CPU runs
# against the per-position reference, then korvane-scan with each kernel and with one and two
# workers on two images, each listing exactly what the reference kernel lists.
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}"
korvane_build release --target korvane_kernel_tests korvane-scan korvane-mkimage
korvane_ctest --preset release -R "^FindMagic\\." --timeout 300

scan=build/release/cli/korvane-scan
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
build/release/tools/korvane-mkimage demo "$dir/demo.img"
build/release/tools/korvane-mkimage bench "$dir/bench.img" 130 >/dev/null
kernels=$("$scan" --version | sed -n 's/.*this CPU runs: \([^;]*\);.*/\1/p')
echo "kernels this CPU runs: $kernels"
passed=0 failed=0
for img in demo bench; do
  "$scan" --kernel scalar --workers 1 --format json "$dir/$img.img" >"$dir/want"
  for k in $kernels; do
    for w in 1 2; do
      if KORVANE_KERNEL=$k "$scan" --workers $w --format json "$dir/$img.img" | cmp -s - "$dir/want"; then
        passed=$((passed + 1))
      else
        echo "FAILED: kernel $k with $w workers lists other recordings on the $img image" >&2
        failed=$((failed + 1))
      fi
    done
  done
done
echo "korvane-scan against the reference kernel: $passed passed, $failed failed"
korvane_record_results kernels-cli "$passed" "$failed"
[ "$failed" -eq 0 ]
