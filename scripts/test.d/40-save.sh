# Saving recordings: the saved files checked with ffprobe and ffmpeg, exFAT through FUSE, a full
# tmpfs, a folder without write permission.
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_TEST_PACKAGES[@]}" \
  libssl-dev ffmpeg exfat-fuse exfatprogs
korvane_build dev
ctest --preset dev --timeout 600 -L save
