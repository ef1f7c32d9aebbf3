// Move-only owners of Win32 handles, one type per kind of handle and its
// invalid value. Closing keeps GetLastError as it was, so a failure code read
// after an owner went out of scope is still the failing call's.
#pragma once

#include "platform/win32/windows_api.h"

#include <memory>
#include <utility>

namespace corvex::win32 {

template <class Traits>
class unique_owner {
 public:
  using type = typename Traits::type;

  unique_owner() = default;
  explicit unique_owner(type value) : value_(value) {}
  ~unique_owner() { reset(); }

  unique_owner(const unique_owner&) = delete;
  unique_owner& operator=(const unique_owner&) = delete;
  unique_owner(unique_owner&& other) noexcept : value_(other.release()) {}
  unique_owner& operator=(unique_owner&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  type get() const { return value_; }
  bool valid() const { return value_ != Traits::invalid(); }
  explicit operator bool() const { return valid(); }

  // For out-parameters: closes what is held and hands out the slot.
  type* put() {
    reset();
    return &value_;
  }

  type release() {
    type v = value_;
    value_ = Traits::invalid();
    return v;
  }

  void reset(type value = Traits::invalid()) {
    if (valid()) {
      DWORD saved = GetLastError();
      Traits::close(value_);
      SetLastError(saved);
    }
    value_ = value;
  }

 private:
  type value_ = Traits::invalid();
};

struct handle_traits {
  using type = HANDLE;
  static type invalid() { return nullptr; }
  static void close(type h) { CloseHandle(h); }
};

// CreateFile and CreatePipe's siblings report failure as INVALID_HANDLE_VALUE.
struct hfile_traits {
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(type h) { CloseHandle(h); }
};

struct find_traits {
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(type h) { FindClose(h); }
};

struct hkey_traits {
  using type = HKEY;
  static type invalid() { return nullptr; }
  static void close(type h) { RegCloseKey(h); }
};

struct crypt_prov_traits {
  using type = HCRYPTPROV;
  static type invalid() { return 0; }
  static void close(type h) { CryptReleaseContext(h, 0); }
};

struct crypt_hash_traits {
  using type = HCRYPTHASH;
  static type invalid() { return 0; }
  static void close(type h) { CryptDestroyHash(h); }
};

// Memory the security calls hand out for LocalFree.
struct local_free {
  void operator()(void* p) const {
    DWORD saved = GetLastError();
    LocalFree(p);
    SetLastError(saved);
  }
};
template <class T>
using unique_local = std::unique_ptr<T, local_free>;

using unique_handle = unique_owner<handle_traits>;
using unique_hfile = unique_owner<hfile_traits>;
using unique_find = unique_owner<find_traits>;
using unique_hkey = unique_owner<hkey_traits>;
using unique_hcryptprov = unique_owner<crypt_prov_traits>;
using unique_hcrypthash = unique_owner<crypt_hash_traits>;

}  // namespace corvex::win32
