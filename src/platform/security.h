// Tokens, privileges, SIDs, owners and DACLs of files, and the NTFS
// hard-link query. SIDs cross the seam as string SIDs ("S-1-5-32-544") and
// ACLs as SDDL text ("D:(A;OICI;GA;;;WD)"); the backend converts both ways.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace corvex::platform {

class Security;

// A kernel object the backend opened (the process token), closed when the
// value goes away. Move-only; the tag keeps one kind of handle from being
// passed where another is wanted.
template <class Tag>
class SecurityHandle {
 public:
  SecurityHandle() = default;
  SecurityHandle(Security* owner, uintptr_t value) : owner_(owner), value_(value) {}
  ~SecurityHandle() { reset(); }
  SecurityHandle(const SecurityHandle&) = delete;
  SecurityHandle& operator=(const SecurityHandle&) = delete;
  SecurityHandle(SecurityHandle&& other) noexcept
      : owner_(std::exchange(other.owner_, nullptr)), value_(std::exchange(other.value_, 0)) {}
  SecurityHandle& operator=(SecurityHandle&& other) noexcept {
    if (this != &other) {
      reset();
      owner_ = std::exchange(other.owner_, nullptr);
      value_ = std::exchange(other.value_, 0);
    }
    return *this;
  }

  uintptr_t get() const { return value_; }
  bool valid() const { return owner_ != nullptr && value_ != 0; }
  explicit operator bool() const { return valid(); }
  inline void reset();

 private:
  Security* owner_ = nullptr;
  uintptr_t value_ = 0;
};

using Token = SecurityHandle<struct TokenTag>;

// All names of one file, as the hard-link query of NTFS gives them.
struct HardLinks {
  uint32_t linkCount = 0;
  bool deletePending = false;
  // Drive letter + ":" + the parent folder's path + "\" + the link's name.
  std::vector<std::wstring> paths;
};

// One record of a volume's file table as the change journal enumerates it.
struct VolumeRecord {
  uint64_t fileId = 0;
  uint32_t attributes = 0;
  std::wstring name;  // leaf name
};

namespace sid {
constexpr wchar_t kNull[] = L"S-1-0-0";
constexpr wchar_t kEveryone[] = L"S-1-1-0";
constexpr wchar_t kSystem[] = L"S-1-5-18";
constexpr wchar_t kAdministrators[] = L"S-1-5-32-544";
constexpr wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
}  // namespace sid

namespace err {
constexpr uint32_t kNotAllAssigned = 1300;
constexpr uint32_t kInvalidOwner = 1307;
constexpr uint32_t kNoSuchPrivilege = 1313;
constexpr uint32_t kNoneMapped = 1332;
constexpr uint32_t kInvalidSid = 1337;
}  // namespace err

class Security {
 public:
  virtual ~Security() = default;

  // OpenProcessToken on the current process with TOKEN_ADJUST_PRIVILEGES.
  virtual Result<Token> OpenProcessToken() = 0;
  // LookupPrivilegeValueW on the local system: the privilege's LUID.
  virtual Result<uint64_t> LookupPrivilege(const std::wstring& name) = 0;
  // AdjustTokenPrivileges with one entry, enabled (SE_PRIVILEGE_ENABLED) or
  // not. A privilege the token does not hold fails with
  // ERROR_NOT_ALL_ASSIGNED, although the call itself reports success.
  virtual Status AdjustPrivilege(const Token& token, uint64_t luid, bool enable) = 0;

  // GetUserNameW.
  virtual Result<std::wstring> UserName() = 0;
  // The process token's own user (TokenUser) as a string SID: who the
  // program runs as, whatever name an account lookup would resolve.
  virtual Result<std::wstring> TokenUserSid() = 0;
  // LookupAccountNameW on the local system, as a string SID.
  virtual Result<std::wstring> AccountSid(const std::wstring& accountName) = 0;
  // ConvertStringSidToSidW: whether the text makes a SID.
  virtual Status CheckStringSid(const std::wstring& sid) = 0;
  // AllocateAndInitializeSid with the world authority: Everyone.
  virtual Result<std::wstring> EveryoneSid() = 0;
  // SetEntriesInAclW with one entry: `trustee` (a group) gets GENERIC_ALL,
  // inherited by sub-folders and files. The ACL comes back as SDDL.
  virtual Result<std::wstring> BuildFullAccessDacl(const std::wstring& trustee) = 0;

  // GetNamedSecurityInfoW / SetNamedSecurityInfoW on a file or folder. Each
  // reads or writes only its own part of the security descriptor; a DACL
  // written without protection flags keeps the object's inheritance as it
  // was.
  virtual Result<std::wstring> ReadOwner(const std::wstring& path) = 0;
  virtual Status SetOwner(const std::wstring& path, const std::wstring& sid) = 0;
  virtual Status SetDacl(const std::wstring& path, const std::wstring& daclSddl) = 0;

  virtual Result<HardLinks> HardLinksOfPath(const std::wstring& path) = 0;
  // The same by file ID on the volume of drive `drive` (a letter).
  virtual Result<HardLinks> HardLinksOfFileId(wchar_t drive, uint64_t fileId) = 0;
  // Every record of the volume of drive `drive`: FSCTL_QUERY_USN_JOURNAL,
  // then FSCTL_ENUM_USN_DATA from file reference 0 in 10000-byte batches.
  // Ok when the enumeration ran to the end of the table; otherwise the code
  // that stopped it (opening the volume, the journal query or a batch),
  // after what was read so far went to `onRecord`.
  virtual Status ScanVolume(wchar_t drive, const std::function<void(const VolumeRecord&)>& onRecord) = 0;

  // Closes what a SecurityHandle holds.
  virtual void Close(uintptr_t value) = 0;
};

template <class Tag>
inline void SecurityHandle<Tag>::reset() {
  if (valid()) owner_->Close(value_);
  owner_ = nullptr;
  value_ = 0;
}

}  // namespace corvex::platform
