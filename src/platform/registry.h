// The registry: keys opened under a predefined root, their values and
// subkeys, key security, and hives loaded from files. Security descriptors
// cross the seam as opaque self-relative bytes and are turned into SDDL and
// back by separate calls, so that a failed conversion and a failed read or
// write stay apart.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace corvex::platform {

enum class RootKey : uint32_t {
  kNone = 0,
  kClassesRoot = 0x80000000,
  kCurrentUser = 0x80000001,
  kLocalMachine = 0x80000002,
  kUsers = 0x80000003,
  kCurrentConfig = 0x80000005,
};

// Access rights of a key, as REGSAM.
namespace keyaccess {
constexpr uint32_t kQueryValue = 0x1;
constexpr uint32_t kSetValue = 0x2;
constexpr uint32_t kCreateSubKey = 0x4;
constexpr uint32_t kEnumerateSubKeys = 0x8;
constexpr uint32_t kWow64_64Key = 0x100;
constexpr uint32_t kReadControl = 0x20000;
constexpr uint32_t kWriteDac = 0x40000;
constexpr uint32_t kWriteOwner = 0x80000;
constexpr uint32_t kRead = 0x20019;
constexpr uint32_t kWrite = 0x20006;
constexpr uint32_t kAllAccess = 0xF003F;
}  // namespace keyaccess

// SECURITY_INFORMATION bits.
namespace secinfo {
constexpr uint32_t kOwner = 0x1;
constexpr uint32_t kDacl = 0x4;
}  // namespace secinfo

namespace regtype {
constexpr uint32_t kNone = 0;
constexpr uint32_t kSz = 1;
constexpr uint32_t kExpandSz = 2;
constexpr uint32_t kBinary = 3;
constexpr uint32_t kDword = 4;
constexpr uint32_t kMultiSz = 7;
constexpr uint32_t kQword = 11;
}  // namespace regtype

namespace err {
constexpr uint32_t kMoreData = 234;
constexpr uint32_t kNoMoreItems = 259;
constexpr uint32_t kKeyDeleted = 1018;
}  // namespace err

struct RegistryValue {
  std::wstring name;
  uint32_t type = regtype::kNone;
  std::string data;  // the bytes as RegQueryValueEx returns them
};

// RegQueryInfoKeyW: counts, and the longest subkey name and value name in
// characters (without the NUL) and the largest value data in bytes.
struct KeyInfo {
  uint32_t subKeys = 0;
  uint32_t maxSubKeyName = 0;
  uint32_t values = 0;
  uint32_t maxValueName = 0;
  uint32_t maxValueData = 0;
};

class Registry;

// An open key, closed when the value goes away. Move-only.
class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(Registry* owner, uintptr_t value) : owner_(owner), value_(value) {}
  ~RegistryKey() { Close(); }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  RegistryKey(RegistryKey&& other) noexcept
      : owner_(std::exchange(other.owner_, nullptr)), value_(std::exchange(other.value_, 0)) {}
  RegistryKey& operator=(RegistryKey&& other) noexcept {
    if (this != &other) {
      Close();
      owner_ = std::exchange(other.owner_, nullptr);
      value_ = std::exchange(other.value_, 0);
    }
    return *this;
  }

  uintptr_t get() const { return value_; }
  bool valid() const { return owner_ != nullptr && value_ != 0; }
  // RegCloseKey: a close can fail, and after a change that failure is worth
  // a sentence. The handle is gone either way.
  inline Status Close();

 private:
  Registry* owner_ = nullptr;
  uintptr_t value_ = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;

  // RegOpenKeyExW / RegCreateKeyExW with `access` as given (callers add
  // KEY_WOW64_64KEY). An empty subkey opens the root itself.
  virtual Result<RegistryKey> OpenKey(RootKey root, const std::wstring& subkey, uint32_t access) = 0;
  virtual Result<RegistryKey> CreateKey(RootKey root, const std::wstring& subkey, uint32_t access) = 0;
  // RegDeleteKeyExW in the 64-bit view: a key without subkeys.
  virtual Status DeleteKey(RootKey root, const std::wstring& subkey) = 0;

  // Names of the subkeys and the values, in the order Windows enumerates
  // them; the caller decides which lengths it takes.
  virtual Result<std::vector<std::wstring>> SubKeyNames(const RegistryKey& key) = 0;
  virtual Result<std::vector<RegistryValue>> Values(const RegistryKey& key) = 0;
  virtual Result<KeyInfo> QueryKeyInfo(const RegistryKey& key) = 0;
  // RegEnumValueW with a name buffer of `nameCapacity` characters (its NUL
  // included) and a data buffer of `dataCapacity` bytes: ERROR_MORE_DATA
  // when either is too small, ERROR_NO_MORE_ITEMS past the last value. The
  // value's strings are reused, so a walk allocates only when they grow.
  virtual Status EnumValue(const RegistryKey& key, uint32_t index, uint32_t nameCapacity, uint32_t dataCapacity,
                           RegistryValue& value) = 0;
  virtual Result<RegistryValue> QueryValue(const RegistryKey& key, const std::wstring& name) = 0;
  virtual Status SetValue(const RegistryKey& key, const RegistryValue& value) = 0;
  virtual Status DeleteValue(const RegistryKey& key, const std::wstring& name) = 0;

  // RegGetKeySecurity / RegSetKeySecurity with `information` (secinfo bits).
  virtual Result<std::string> GetKeySecurity(const RegistryKey& key, uint32_t information) = 0;
  virtual Status SetKeySecurity(const RegistryKey& key, uint32_t information, const std::string& descriptor) = 0;
  // ConvertSecurityDescriptorToStringSecurityDescriptorW (revision 1) and
  // ConvertStringSecurityDescriptorToSecurityDescriptorW.
  virtual Result<std::wstring> DescriptorToSddl(const std::string& descriptor, uint32_t information) = 0;
  virtual Result<std::string> SddlToDescriptor(const std::wstring& sddl) = 0;

  // RegLoadKeyW / RegUnLoadKeyW under HKEY_LOCAL_MACHINE. Both need the
  // backup and restore privileges switched on by the caller.
  virtual Status LoadHive(const std::wstring& name, const std::wstring& file) = 0;
  virtual Status UnloadHive(const std::wstring& name) = 0;

  // Closes what a RegistryKey holds.
  virtual Status CloseKey(uintptr_t value) = 0;
};

inline Status RegistryKey::Close() {
  Status closed;
  if (valid()) closed = owner_->CloseKey(value_);
  owner_ = nullptr;
  value_ = 0;
  return closed;
}

}  // namespace corvex::platform
