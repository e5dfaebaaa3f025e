# SPDX-License-Identifier: GPL-3.0-or-later
# Evidence sources and the chain of custody: E01 images made with ewfacquire (ewf-tools) read
# through libewf, split raw images, hashes against md5sum/sha1sum/sha256sum, case logs read with jq.
source scripts/deps.sh
korvane_install "${KORVANE_BUILD_PACKAGES[@]}" "${KORVANE_TEST_PACKAGES[@]}" \
  "${KORVANE_EVIDENCE_PACKAGES[@]}"
korvane_build dev --target korvane_evidence_tests korvane-scan
korvane_ctest --preset dev --timeout 600 -L evidence
