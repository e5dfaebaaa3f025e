// SPDX-License-Identifier: GPL-3.0-or-later
// Builds without libewf: E01 images are recognised, and refused saying why.
#include "evidence/sources.h"

namespace korvane::evidence {

bool E01Available() {
  return false;
}

std::string EwfLibraryVersion() {
  return std::string();
}

Result<std::unique_ptr<RawDevice>> OpenEwfImage(const std::string& path) {
  return Status::Error(ErrorCode::kOpenFailed,
                       "cannot open '" + path +
                           "': it is an E01 image, and this build cannot read E01 images (it was "
                           "built without libewf)");
}

}  // namespace korvane::evidence
