// SPDX-License-Identifier: GPL-3.0-or-later
// Hashes of a stream of bytes (MD5, SHA-1, SHA-256) from the platform's cryptography library
// (OpenSSL's libcrypto, or the system's on Windows), and a hash of the bytes a scan reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scan/chunk.h"
#include "scan/result.h"

namespace korvane::evidence {

enum class DigestKind { kMd5, kSha1, kSha256 };

// "md5", "sha1", "sha256": the names --hash takes and the case log uses.
const char* DigestName(DigestKind kind);
std::optional<DigestKind> DigestFromName(const std::string& name);

// Parses "md5,sha1,sha256" (any of them, in any order, each once). kUsage saying what is wrong.
Result<std::vector<DigestKind>> ParseDigestList(const std::string& text);

class Digest {
 public:
  explicit Digest(DigestKind kind);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  DigestKind kind() const { return kind_; }
  void Update(const uint8_t* data, size_t len);
  // Lower-case hex of everything given to Update; kInternal when the library failed. Once only.
  Result<std::string> Hex();

 private:
  struct State;
  DigestKind kind_;
  std::unique_ptr<State> state_;
  bool ok_ = false;
};

// One hash of the bytes a scan reads, in order (give it to ScanJob::observers): each runs on a
// thread of its own beside the search.
class RangeHash final : public RangeObserver {
 public:
  explicit RangeHash(DigestKind kind) : digest_(kind) {}
  void OnBytes(const uint8_t* data, size_t len) override {
    digest_.Update(data, len);
    bytes_ += len;
  }
  DigestKind kind() const { return digest_.kind(); }
  uint64_t bytes() const { return bytes_; }  // how many bytes it was given
  Result<std::string> Hex() { return digest_.Hex(); }

 private:
  Digest digest_;
  uint64_t bytes_ = 0;
};

}  // namespace korvane::evidence
