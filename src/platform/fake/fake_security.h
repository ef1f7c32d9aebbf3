// The fake Windows' security: every file and folder has an owner and a DACL
// (SDDL), writes are checked against the DACL, owners and DACLs change under
// Windows' rules for an elevated administrator (privileges switched per
// process token), files can have several hard links sharing one descriptor,
// and an emulated icacls saves and restores DACLs through its ACL files.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/fake/fake_windows.h"
#include "platform/security.h"

namespace corvex::fake {

struct FakeDescriptor {
  std::wstring owner;  // string SID, never an alias
  // "D:" + flags + ACEs, followed by whatever SACL part icacls shows ("S:AI").
  std::wstring dacl;
};

// Access rights the model checks.
namespace access {
constexpr uint32_t kWriteData = 0x2;
constexpr uint32_t kReadControl = 0x20000;
constexpr uint32_t kWriteDac = 0x40000;
constexpr uint32_t kWriteOwner = 0x80000;
}  // namespace access

class FakeSecurity : public platform::Security {
 public:
  static constexpr wchar_t kDefaultFileDacl[] = L"D:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)";
  static constexpr wchar_t kDefaultFolderDacl[] = L"D:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)";
  // System32 and its kin: TrustedInstaller owns them; Administrators may
  // add files but not delete those they cannot delete themselves.
  static constexpr wchar_t kSystemFolderDacl[] =
      L"D:PAI(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
      L"(A;CIIO;GA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
      L"(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
      L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)";
  // A system file as Windows ships it: TrustedInstaller may do anything,
  // Administrators, SYSTEM and Users may read and run it.
  static constexpr wchar_t kProtectedFileDacl[] =
      L"D:PAI(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
      L"(A;;0x1200a9;;;BA)(A;;0x1200a9;;;SY)(A;;0x1200a9;;;BU)";

  explicit FakeSecurity(FakeWindows& w);

  // --- The account and its token -----------------------------------------
  std::wstring userName = L"Tester";
  std::wstring userSid = L"S-1-5-21-3623811015-3361044348-30300820-1001";
  // What an elevated administrator's token holds, and what is switched on.
  std::set<std::wstring> heldPrivileges;
  std::set<std::wstring> enabledPrivileges;
  bool PrivilegeEnabled(const std::wstring& name) const { return enabledPrivileges.count(name) != 0; }
  // Tokens opened and not yet closed.
  size_t OpenHandles() const { return handles_.size(); }

  // --- Objects -----------------------------------------------------------
  // A protected system file: owned by TrustedInstaller, read-only for
  // administrators.
  void AddProtectedFile(const std::wstring& path, const std::string& bytes, uint32_t attributes = 0x20);
  // Owner and DACL of an existing object (a fresh object has the defaults).
  FakeDescriptor DescriptorOf(const std::wstring& path);
  void SetDescriptor(const std::wstring& path, const std::wstring& owner, const std::wstring& dacl);

  // --- Hard links --------------------------------------------------------
  // `newName` becomes another name of the file `existing`.
  void LinkFile(const std::wstring& existing, const std::wstring& newName);
  void MarkDeletePending(const std::wstring& path);
  // The file's index, handed out when first asked for (names that share it
  // are links of one file).
  uint64_t IdOf(FakeNode& node) {
    Descriptor(node);
    return node.id;
  }

  // --- Access checks -----------------------------------------------------
  // Whether the object's DACL grants all of `desired` to this process's
  // user, Everyone or Administrators (deny entries first come first); the
  // owner has READ_CONTROL and WRITE_DAC besides.
  bool Grants(const std::wstring& path, uint32_t desired);
  // The access hook of the file system: 0 when the DACL grants `desired`,
  // else 5 (missing objects are the file system's to report).
  uint32_t AccessDenied(const std::wstring& path, uint32_t desired);
  // A new object takes what its folder's inheritable entries pass on.
  void InheritInto(FakeNode& node);
  // The DACL a new child of a folder with `parentDacl` gets (SDDL).
  static std::wstring InheritedDacl(const std::wstring& parentDacl, bool folder, const std::wstring& owner);

  // --- icacls ------------------------------------------------------------
  // Registers the emulation below as "icacls.exe" (done by FakeWindows).
  void InstallIcacls();
  // `"<object>" /save "<file>" [/Q] [/C]` and `"<folder>" /restore "<file>"
  // [/Q] [/C]`, with the exit codes icacls gives (the Win32 code of the
  // failure).
  platform::ProcessOutcome RunIcacls(const platform::ProcessRequest& request);

  // --- platform::Security ------------------------------------------------
  platform::Result<platform::Token> OpenProcessToken() override;
  platform::Result<uint64_t> LookupPrivilege(const std::wstring& name) override;
  platform::Status AdjustPrivilege(const platform::Token& token, uint64_t luid, bool enable) override;
  platform::Result<std::wstring> UserName() override;
  platform::Result<std::wstring> TokenUserSid() override;
  platform::Result<std::wstring> AccountSid(const std::wstring& accountName) override;
  platform::Status CheckStringSid(const std::wstring& sid) override;
  platform::Result<std::wstring> EveryoneSid() override;
  platform::Result<std::wstring> BuildFullAccessDacl(const std::wstring& trustee) override;
  platform::Result<std::wstring> ReadOwner(const std::wstring& path) override;
  platform::Status SetOwner(const std::wstring& path, const std::wstring& sid) override;
  platform::Status SetDacl(const std::wstring& path, const std::wstring& daclSddl) override;
  platform::Result<platform::HardLinks> HardLinksOfPath(const std::wstring& path) override;
  platform::Result<platform::HardLinks> HardLinksOfFileId(wchar_t drive, uint64_t fileId) override;
  platform::Status ScanVolume(wchar_t drive,
                              const std::function<void(const platform::VolumeRecord&)>& onRecord) override;
  void Close(uintptr_t value) override;

  // SDDL helpers shared with the tests.
  // "WD" -> "S-1-1-0" and the other aliases the samples use; other text as is.
  static std::wstring ResolveSidAlias(const std::wstring& sid);
  // The inverse: "S-1-1-0" -> "WD", as SDDL writes well-known SIDs.
  static std::wstring SidAlias(const std::wstring& sid);
  // Whether an ACE's flags ("OICIID") hold the two-letter `flag`.
  static bool HasAceFlag(const std::wstring& flags, const std::wstring& flag);
  // Whether a string SID (or alias) is well formed.
  static bool IsValidSid(const std::wstring& sid);
  // The words of a command line as CommandLineToArgvW splits it.
  static std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

 private:
  FakeNode* Find(const std::wstring& path);
  FakeNode* Resolved(const std::wstring& display);
  uint32_t Missing(const std::wstring& path);
  FakeDescriptor& Descriptor(FakeNode& node);
  std::vector<FakeNode*> Links(const FakeNode& node);
  std::set<std::wstring> Principals() const;
  bool Grants(FakeNode& node, uint32_t desired);
  std::optional<uint32_t> GrantedRights(const FakeDescriptor& d) const;
  bool IsToken(uintptr_t value) const;
  platform::Result<platform::HardLinks> LinksOf(FakeNode& node);
  uint32_t IcaclsSave(const std::wstring& object, const std::wstring& file);
  uint32_t IcaclsRestore(const std::wstring& folder, const std::wstring& file);

  FakeWindows& w_;
  std::map<uint64_t, FakeDescriptor> descriptors_;
  // InheritedDacl's answers by parent DACL and kind of child, and
  // GrantedRights' by owner, user and DACL.
  std::map<std::wstring, std::wstring> inherited_;
  std::map<std::wstring, std::optional<uint32_t>> granted_;
  std::set<uint64_t> deletePending_;
  uint64_t nextId_ = 1;
  std::set<uintptr_t> handles_;
  uintptr_t nextHandle_ = 0x100;
};

}  // namespace corvex::fake
