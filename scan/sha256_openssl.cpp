// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-256 through OpenSSL's libcrypto.
#include <openssl/evp.h>

#include "scan/sha256.h"

namespace korvane {

struct Sha256::State {
  EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ctx = EVP_MD_CTX_new();
  ok_ = state_->ctx != nullptr && EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(state_->ctx);
}

void Sha256::Update(const uint8_t* data, size_t len) {
  ok_ = ok_ && EVP_DigestUpdate(state_->ctx, data, len) == 1;
}

Result<std::string> Sha256::Hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ok_ || EVP_DigestFinal_ex(state_->ctx, digest, &len) != 1) {
    return Status::Error(ErrorCode::kInternal, "OpenSSL could not compute a SHA-256");
  }
  return HexText(digest, len);
}

}  // namespace korvane
