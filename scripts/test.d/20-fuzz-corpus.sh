# SPDX-License-Identifier: GPL-3.0-or-later
# Each libFuzzer target run once over its committed corpus (fuzz/corpus), built with clang under
# AddressSanitizer + UndefinedBehaviorSanitizer. fuzz/run.sh SECONDS fuzzes for real.
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_FUZZ_PACKAGES[@]}"
start=$SECONDS
korvane_build fuzz
korvane_ctest --preset fuzz -L fuzz --timeout 300
echo "fuzz corpus stage: $((SECONDS - start)) s"
