// Results of calls across the OS seam: a value or the Win32 error code that
// explains why there is none. Nothing that crosses the seam throws.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

namespace corvex::platform {

// Win32 error codes the program names or the fake injects.
namespace err {
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kNotEnoughMemory = 8;
constexpr uint32_t kWriteFault = 29;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kFileExists = 80;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kInvalidName = 123;
constexpr uint32_t kDirNotEmpty = 145;
constexpr uint32_t kBadPathname = 161;
constexpr uint32_t kAlreadyExists = 183;
constexpr uint32_t kNoMoreFiles = 18;
constexpr uint32_t kBadDb = 1009;
constexpr uint32_t kPrivilegeNotHeld = 1314;
}  // namespace err

// A failure: the Win32 code as the API reported it.
struct Error {
  uint32_t code;
};

class Status {
 public:
  Status() = default;
  Status(Error e) : code_(e.code) {}
  static Status Ok() { return Status(); }
  bool ok() const { return code_ == 0; }
  uint32_t code() const { return code_; }
  explicit operator bool() const { return ok(); }

 private:
  uint32_t code_ = 0;
};

namespace detail {
// Reading the value of a failed Result is a bug in the caller, never a
// state to run on: without this check it would read an empty optional. It
// stays in every build, since the release is where a wrong value would do
// harm.
[[noreturn]] inline void ValueOfFailedResult(uint32_t code) {
  std::fprintf(stderr, "Result::value() called on a failure (code %lu)\n", static_cast<unsigned long>(code));
  std::fflush(stderr);
  std::abort();
}
}  // namespace detail

template <class T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Error e) : code_(e.code == 0 ? err::kInvalidParameter : e.code) {}

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  uint32_t code() const { return ok() ? 0 : code_; }
  Status status() const { return ok() ? Status() : Status(Error{code_}); }

  T& value() { return Checked(); }
  const T& value() const { return Checked(); }
  T& operator*() { return Checked(); }
  const T& operator*() const { return Checked(); }
  T* operator->() { return &Checked(); }
  const T* operator->() const { return &Checked(); }
  T value_or(T fallback) const { return ok() ? *value_ : std::move(fallback); }

 private:
  T& Checked() {
    if (!value_) detail::ValueOfFailedResult(code_);
    return *value_;
  }
  const T& Checked() const {
    if (!value_) detail::ValueOfFailedResult(code_);
    return *value_;
  }

  std::optional<T> value_;
  uint32_t code_ = 0;
};

}  // namespace corvex::platform
