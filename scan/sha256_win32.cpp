// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-256 through the system's cryptography primitives (CNG).
#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <algorithm>

#include "scan/sha256.h"

namespace korvane {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {
bool Succeeded(NTSTATUS status) {
  return status >= 0;
}
}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
  ok_ = Succeeded(::BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM,
                                                nullptr, 0)) &&
        Succeeded(::BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
  if (state_->hash) ::BCryptDestroyHash(state_->hash);
  if (state_->algorithm) ::BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::Update(const uint8_t* data, size_t len) {
  while (ok_ && len > 0) {
    const ULONG n = static_cast<ULONG>(std::min<size_t>(len, 1u << 30));
    ok_ = Succeeded(::BCryptHashData(state_->hash, const_cast<PUCHAR>(data), n, 0));
    data += n;
    len -= n;
  }
}

Result<std::string> Sha256::Hex() {
  uint8_t digest[32];
  if (!ok_ || !Succeeded(::BCryptFinishHash(state_->hash, digest, sizeof digest, 0))) {
    return Status::Error(ErrorCode::kInternal, "the system could not compute a SHA-256");
  }
  ok_ = false;  // a finished hash takes no more data
  return HexText(digest, sizeof digest);
}

}  // namespace korvane
