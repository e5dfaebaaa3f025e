# SPDX-License-Identifier: GPL-3.0-or-later
# Video export and thumbnails: FFmpeg's libraries to build them, ffmpeg and ffprobe to check the
# files, jq to read case logs; the full-folder test mounts a small tmpfs (root).
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_TEST_PACKAGES[@]}" \
  "${KORVANE_VIDEO_PACKAGES[@]}" ffmpeg mount jq
korvane_build dev --target korvane_video_tests korvane-scan
korvane_ctest --preset dev --timeout 600 -L video
