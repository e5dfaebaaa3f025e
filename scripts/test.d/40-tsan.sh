# SPDX-License-Identifier: GPL-3.0-or-later
# The worker's threads under ThreadSanitizer (tests labelled tsan, built by korvane_tsan_suite;
# see tests/CMakeLists.txt). Any report fails the test.
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_TEST_PACKAGES[@]}"
start=$SECONDS
korvane_build tsan --target korvane_tsan_suite
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
korvane_ctest --preset tsan -L tsan --timeout 900
echo "tsan stage: $((SECONDS - start)) s"
