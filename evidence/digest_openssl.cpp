// SPDX-License-Identifier: GPL-3.0-or-later
// Hashes through OpenSSL's libcrypto.
#include <openssl/evp.h>

#include "evidence/digest.h"
#include "scan/sha256.h"

namespace korvane::evidence {

struct Digest::State {
  EVP_MD_CTX* ctx = nullptr;
};

namespace {
const EVP_MD* Algorithm(DigestKind kind) {
  switch (kind) {
    case DigestKind::kMd5:
      return EVP_md5();
    case DigestKind::kSha1:
      return EVP_sha1();
    case DigestKind::kSha256:
      return EVP_sha256();
  }
  return nullptr;
}
}  // namespace

Digest::Digest(DigestKind kind) : kind_(kind), state_(std::make_unique<State>()) {
  state_->ctx = EVP_MD_CTX_new();
  const EVP_MD* md = Algorithm(kind);
  ok_ = state_->ctx != nullptr && md != nullptr && EVP_DigestInit_ex(state_->ctx, md, nullptr) == 1;
}

Digest::~Digest() {
  EVP_MD_CTX_free(state_->ctx);
}

void Digest::Update(const uint8_t* data, size_t len) {
  ok_ = ok_ && EVP_DigestUpdate(state_->ctx, data, len) == 1;
}

Result<std::string> Digest::Hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ok_ || EVP_DigestFinal_ex(state_->ctx, digest, &len) != 1) {
    ok_ = false;
    return Status::Error(ErrorCode::kInternal,
                         std::string("OpenSSL could not compute the ") + DigestName(kind_));
  }
  ok_ = false;  // a finished hash takes no more data
  return HexText(digest, len);
}

}  // namespace korvane::evidence
