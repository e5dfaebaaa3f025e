// SPDX-License-Identifier: GPL-3.0-or-later
#include "evidence/digest.h"

namespace korvane::evidence {

const char* DigestName(DigestKind kind) {
  switch (kind) {
    case DigestKind::kMd5:
      return "md5";
    case DigestKind::kSha1:
      return "sha1";
    case DigestKind::kSha256:
      return "sha256";
  }
  return "?";
}

std::optional<DigestKind> DigestFromName(const std::string& name) {
  for (DigestKind kind : {DigestKind::kMd5, DigestKind::kSha1, DigestKind::kSha256}) {
    if (name == DigestName(kind)) return kind;
  }
  return std::nullopt;
}

Result<std::vector<DigestKind>> ParseDigestList(const std::string& text) {
  std::vector<DigestKind> kinds;
  size_t begin = 0;
  for (;;) {
    const size_t comma = text.find(',', begin);
    const std::string item =
        text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
    const std::optional<DigestKind> kind = DigestFromName(item);
    if (!kind) {
      return Status::Error(ErrorCode::kUsage, "--hash: '" + item +
                                                  "' is not a hash this program computes "
                                                  "(md5, sha1, sha256)");
    }
    for (DigestKind known : kinds) {
      if (known == *kind) {
        return Status::Error(ErrorCode::kUsage, "--hash: " + item + " is named twice");
      }
    }
    kinds.push_back(*kind);
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  return kinds;
}

}  // namespace korvane::evidence
