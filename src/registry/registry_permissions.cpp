#include "registry/registry_permissions.h"

#include "base/text.h"
#include "core/datablock_store.h"
#include "core/session_log.h"
#include "registry/registry_access.h"

namespace corvex {

namespace keyaccess = platform::keyaccess;
namespace secinfo = platform::secinfo;
using platform::RootKey;

namespace {

constexpr uint32_t kOwnerAndDacl = secinfo::kOwner | secinfo::kDacl;

struct Privilege {
  const wchar_t* name;
  const wchar_t* shown;
};
constexpr Privilege kPrivileges[] = {{L"SeRestorePrivilege", L"SE_RESTORE_NAME"},
                                     {L"SeBackupPrivilege", L"SE_BACKUP_NAME"},
                                     {L"SeTakeOwnershipPrivilege", L"SE_TAKE_OWNERSHIP_NAME"}};

void SwitchAll(Session& s, bool enable, std::wstring& report) {
  for (auto& p : kPrivileges)
    if (!SwitchPrivilege(s, p.name, enable))
      report += std::wstring(enable ? L"Failed to enable the " : L"Failed to disable the ") + p.shown +
                L" privilege.\r\n";
}

// A key line: quotes gone, root expanded; the root name ends at the first
// "\" or "/", and nothing after it is the root key itself.
struct KeyLine {
  std::wstring key, rootName, subkey;
};
KeyLine ReadKeyLine(const std::wstring& line) {
  KeyLine k;
  k.key = ExpandRootAbbreviation(ReplaceAll(line, L"\"", L""));
  size_t sep = k.key.find_first_of(L"\\/");
  k.rootName = k.key.substr(0, sep);
  if (sep != std::wstring::npos && sep + 1 < k.key.size()) k.subkey = k.key.substr(sep + 1);
  return k;
}

std::wstring With(uint32_t code) { return L" with error code " + ErrorCodeName(code) + L".\r\n"; }

std::wstring CloseFailure(const std::wstring& key, uint32_t code) {
  return L"Failed to close registry key for " + key + L" with error code " + ErrorCodeName(code) +
         L". Some changes may be non-permanent.\r\n";
}

// Steps 1 to 14 of one key; false when the line failed.
bool TakeKey(Session& s, const KeyLine& k, int mode, std::wstring& report) {
  auto& reg = s.os.registry;
  const std::wstring& K = k.key;
  RootKey root = RootKeyFromName(k.rootName);
  if (root == RootKey::kNone) {
    report += L"Failed to identify registry hive " + k.rootName + L".\r\n";
    return false;
  }
  auto key = reg.OpenKey(root, k.subkey, keyaccess::kReadControl | keyaccess::kWriteOwner | keyaccess::kWow64_64Key);
  if (!key.ok()) {
    report += L"Failed to open registry key " + K + With(key.code());
    return false;
  }
  auto descriptor = reg.GetKeySecurity(*key, kOwnerAndDacl);
  if (!descriptor.ok()) {
    report += L"Failed to read registry key security information for " + K + With(descriptor.code());
    return false;
  }
  auto sddl = reg.DescriptorToSddl(*descriptor, kOwnerAndDacl);
  if (!sddl.ok()) {
    report += L"Failed to serialize security descriptor for registry key " + K + With(sddl.code());
    return false;
  }
  if (!AddRegistryDataBlock(s, K, *sddl)) {
    report += L"Failed to create datablock for registry key " + K + L".\r\n";
    return false;
  }
  if (mode == 1) return true;
  // The token's own user, not an account looked up by name: a name can
  // resolve to another account (a domain user and a local one alike named).
  auto user = s.os.security.TokenUserSid();
  if (!user.ok()) {
    report += L"Failed to load current user account" + With(user.code());
    return false;
  }
  auto intermediary = reg.SddlToDescriptor(L"O:" + *user);
  if (!intermediary.ok()) {
    report += L"Failed to convert intermediary ownership SID to binary security descriptor " + K +
              With(intermediary.code());
    return false;
  }
  auto owned = reg.SetKeySecurity(*key, secinfo::kOwner, *intermediary);
  if (!owned.ok()) {
    report += L"Failed to set registry key intermediary ownership for " + K + With(owned.code());
    return false;
  }
  auto closed = key->Close();
  if (!closed.ok()) {
    report += CloseFailure(K, closed.code());
    return true;
  }
  // Now that the user owns the key, its DACL may be written.
  auto again = reg.OpenKey(root, k.subkey,
                           keyaccess::kWriteDac | keyaccess::kWriteOwner | keyaccess::kEnumerateSubKeys |
                               keyaccess::kWow64_64Key);
  if (!again.ok()) {
    report += L"Failed to open registry key for second time " + K + With(again.code());
    return false;
  }
  auto loose = reg.SddlToDescriptor(kLooseKeySecurity);
  if (!loose.ok()) {
    report += L"Failed to convert loose permissions security information to binary security descriptor " + K +
              With(loose.code());
    return false;
  }
  auto set = reg.SetKeySecurity(*again, kOwnerAndDacl, *loose);
  if (!set.ok()) {
    report += L"Failed to set registry key ownership for " + K + With(set.code());
    return false;
  }
  closed = again->Close();
  if (!closed.ok()) report += CloseFailure(K, closed.code());
  if (mode != 2) report += L"Successfully took ownership and permissions for registry key " + K + L".\r\n";
  return true;
}

bool RestoreKey(Session& s, const KeyLine& k, bool quiet, std::wstring& report) {
  auto& reg = s.os.registry;
  const std::wstring& K = k.key;
  const std::wstring sddl = FindRegistryDataBlock(s, K);
  if (sddl.empty()) {
    report += L"Failed to find stored datablock for registry key " + K + L".\r\n";
    return false;
  }
  RootKey root = RootKeyFromName(k.rootName);
  if (root == RootKey::kNone) {
    report += L"Failed to identify registry hive " + k.rootName + L".\r\n";
    return false;
  }
  auto key = reg.OpenKey(root, k.subkey,
                         keyaccess::kReadControl | keyaccess::kWriteDac | keyaccess::kWriteOwner |
                             keyaccess::kEnumerateSubKeys | keyaccess::kWow64_64Key);
  if (!key.ok()) {
    report += L"Failed to open registry key " + K + With(key.code());
    return false;
  }
  auto descriptor = reg.SddlToDescriptor(sddl);
  if (!descriptor.ok()) {
    report += L"Failed to convert registry key security information to binary security descriptor " + K +
              With(descriptor.code());
    return false;
  }
  auto set = reg.SetKeySecurity(*key, kOwnerAndDacl, *descriptor);
  if (!set.ok()) {
    report += L"Failed to restore registry key security information for " + K + With(set.code());
    return false;
  }
  if (!quiet) report += L"Successfully restored ownership and permissions for registry key " + K + L".\r\n";
  return true;
}

}  // namespace

bool RegistryTakePermissionsDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  int mode = 0;
  if (!lines.empty() && (lines.front() == L"[MODE:1]" || lines.front() == L"[MODE:2]")) {
    mode = lines.front() == L"[MODE:1]" ? 1 : 2;
    lines.erase(lines.begin());
  }
  SwitchAll(s, true, report);
  bool ok = true;
  for (auto& line : lines) ok &= TakeKey(s, ReadKeyLine(line), mode, report);
  SwitchAll(s, false, report);
  return ok;
}

bool RegistryRestorePermissionsDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool quiet = !lines.empty() && lines.front() == L"[MODE:2]";
  if (quiet) lines.erase(lines.begin());
  SwitchAll(s, true, report);
  bool ok = true;
  for (auto& line : lines) ok &= RestoreKey(s, ReadKeyLine(line), quiet, report);
  SwitchAll(s, false, report);
  return ok;
}

}  // namespace corvex
