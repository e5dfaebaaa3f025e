// SPDX-License-Identifier: GPL-3.0-or-later
// Hashes through the system's cryptography primitives (CNG).
#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <algorithm>

#include "evidence/digest.h"
#include "scan/sha256.h"

namespace korvane::evidence {

struct Digest::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {
bool Succeeded(NTSTATUS status) {
  return status >= 0;
}
LPCWSTR Algorithm(DigestKind kind) {
  switch (kind) {
    case DigestKind::kMd5:
      return BCRYPT_MD5_ALGORITHM;
    case DigestKind::kSha1:
      return BCRYPT_SHA1_ALGORITHM;
    case DigestKind::kSha256:
      return BCRYPT_SHA256_ALGORITHM;
  }
  return BCRYPT_SHA256_ALGORITHM;
}
}  // namespace

Digest::Digest(DigestKind kind) : kind_(kind), state_(std::make_unique<State>()) {
  ok_ = Succeeded(::BCryptOpenAlgorithmProvider(&state_->algorithm, Algorithm(kind), nullptr, 0)) &&
        Succeeded(::BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Digest::~Digest() {
  if (state_->hash) ::BCryptDestroyHash(state_->hash);
  if (state_->algorithm) ::BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Digest::Update(const uint8_t* data, size_t len) {
  while (ok_ && len > 0) {
    const ULONG n = static_cast<ULONG>(std::min<size_t>(len, 1u << 30));
    ok_ = Succeeded(::BCryptHashData(state_->hash, const_cast<PUCHAR>(data), n, 0));
    data += n;
    len -= n;
  }
}

Result<std::string> Digest::Hex() {
  uint8_t digest[32];
  const ULONG size = kind_ == DigestKind::kMd5 ? 16 : kind_ == DigestKind::kSha1 ? 20 : 32;
  if (!ok_ || !Succeeded(::BCryptFinishHash(state_->hash, digest, size, 0))) {
    ok_ = false;
    return Status::Error(ErrorCode::kInternal,
                         std::string("the system could not compute the ") + DigestName(kind_));
  }
  ok_ = false;  // a finished hash takes no more data
  return HexText(digest, size);
}

}  // namespace korvane::evidence
