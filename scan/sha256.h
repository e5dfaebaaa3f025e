// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-256 of a stream of bytes, from the platform's cryptography library (OpenSSL's libcrypto, or
// the system's on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "scan/result.h"

namespace korvane {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  bool ok() const { return ok_; }
  void Update(const uint8_t* data, size_t len);
  // Lower-case hex of everything given to Update; fails (kInternal) when the library failed.
  Result<std::string> Hex();

 private:
  struct State;
  std::unique_ptr<State> state_;
  bool ok_ = false;
};

// Lower-case hex of bytes.
inline std::string HexText(const uint8_t* bytes, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < len; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

}  // namespace korvane
