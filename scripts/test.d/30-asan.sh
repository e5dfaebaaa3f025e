# SPDX-License-Identifier: GPL-3.0-or-later
# The core, korvane-scan, the worker and video export again under AddressSanitizer +
# UndefinedBehaviorSanitizer (tests labelled asan, built by korvane_asan_suite; see
# tests/CMakeLists.txt). Any report ends the test that caused it with a failure.
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_TEST_PACKAGES[@]}" \
  "${KORVANE_VIDEO_PACKAGES[@]}" ffmpeg
start=$SECONDS
korvane_build asan --target korvane_asan_suite
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
korvane_ctest --preset asan -L asan --timeout 900
echo "asan stage: $((SECONDS - start)) s"
