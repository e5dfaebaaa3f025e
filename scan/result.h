// SPDX-License-Identifier: GPL-3.0-or-later
// How the core says that something failed: one way for every function of scan/, datewindow/ and
// cli/.
//
// - `Status`: success, or an error code callers branch on plus a message for the user that says
//   why ("cannot open /dev/sdb: Permission denied"). `Status::Ok()` is success.
// - `Result<T>`: a value, or the Status that says why there is none. Like std::expected; C++20
//   has none.
// - Both are [[nodiscard]]: a failure cannot be dropped without a cast that says so.
// - Nothing throws across the core's interface. Code that may throw (allocation, a thread's body)
//   catches at the boundary and turns the exception into a Status with StatusFromException().
//
//   Result<Config> ReadConfig(const std::string& path) {
//     if (bad) return Status::Error(ErrorCode::kUsage, "config: line 3 is not a number");
//     return Config{...};
//   }
//   auto config = ReadConfig(path);
//   if (!config.ok()) return config.status();
//   Use(*config);
#pragma once

#include <cassert>
#include <exception>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace korvane {

enum class ErrorCode {
  kOk = 0,
  kUsage,        // the caller's input is not acceptable (a malformed option, a bad date)
  kOpenFailed,   // a source or file could not be opened
  kReadFailed,   // reading failed
  kWriteFailed,  // writing failed (a full disk, a closed output, no permission)
  kRefused,      // a request that could be carried out but must not be (a folder on the source)
  kNoMemory,     // an allocation failed
  kStopped,      // a stop request ended the work
  kInternal,     // anything else: an unexpected exception, a broken invariant
};

class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  static Status Ok() { return Status(); }
  static Status Error(ErrorCode code, std::string message) {
    assert(code != ErrorCode::kOk);
    return Status(code, std::move(message));
  }

  bool ok() const { return code_ == ErrorCode::kOk; }
  ErrorCode code() const { return code_; }
  // Why it failed, for the user; empty on success.
  const std::string& message() const { return message_; }

  // Marks a status as deliberately not looked at.
  void IgnoreError() const {}

 private:
  Status(ErrorCode code, std::string message) : code_(code), message_(std::move(message)) {}

  ErrorCode code_ = ErrorCode::kOk;
  std::string message_;
};

template <typename T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::decay_t<T>, Status>, "use Status for a result without value");

 public:
  // A value (implicit, so `return value;` works).
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  // A failure; `status` must not be ok.
  Result(Status status) : v_(std::in_place_index<1>, std::move(status)) {
    assert(!std::get<1>(v_).ok());
  }

  bool ok() const { return v_.index() == 0; }
  // Success, or the reason there is no value.
  Status status() const { return ok() ? Status::Ok() : std::get<1>(v_); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, Status> v_;
};

// The exception being handled as a Status: kNoMemory for std::bad_alloc, kInternal with what()
// for any other std::exception, kInternal for anything else. Call only inside a catch block.
inline Status StatusFromException(const std::string& context = std::string()) {
  std::string prefix = context.empty() ? std::string() : context + ": ";
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return Status::Error(ErrorCode::kNoMemory, prefix + "not enough memory");
  } catch (const std::exception& e) {
    return Status::Error(ErrorCode::kInternal, prefix + e.what());
  } catch (...) {
    return Status::Error(ErrorCode::kInternal, prefix + "unknown error");
  }
}

}  // namespace korvane
