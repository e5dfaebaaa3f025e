# SPDX-License-Identifier: GPL-3.0-or-later
# Saving recordings: the saved files checked with ffprobe and ffmpeg, exFAT through FUSE, a full
# tmpfs, a folder without write permission, a folder on a loop device being read (ext4).
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_TEST_PACKAGES[@]}" \
  libssl-dev ffmpeg exfat-fuse exfatprogs mount e2fsprogs
korvane_build dev
korvane_ctest --preset dev --timeout 600 -L save
