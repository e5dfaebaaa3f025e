# SPDX-License-Identifier: GPL-3.0-or-later
# The core, the date window and korvane-scan, in a debug build.
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_TEST_PACKAGES[@]}"
korvane_build dev
# Window and save tests run in their own stages; long ones are run by hand (see README.md).
korvane_ctest --preset dev --timeout 600 -LE "gui|save|video|long|evidence"
