// RegistryTakePermissions:: and RegistryRestorePermissions:: against the
// fake registry's key security.
#include "registry/registry_permissions.h"

#include <gtest/gtest.h>

#include "core/datablock_store.h"
#include "platform/fake/fake_registry.h"
#include "security_test_support.h"

namespace corvex {
namespace {

using fake::Op;
using namespace testing;

const std::wstring kKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";
const std::wstring kLoose = L"O:WDD:PAI(A;CI;KA;;;WD)";

bool PrivilegesBackOff(FakeSession& f) {
  return f.w.security().enabledPrivileges == std::set<std::wstring>{L"SeChangeNotifyPrivilege"};
}

TEST(RegistryPermissions, TakeTwiceRestoreOnceGivesBackTheFirstSecurity) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.Protect(kKey);
  const std::wstring original = reg.SecurityOf(kKey);
  std::wstring report;
  EXPECT_TRUE(RegistryTakePermissionsDirective(f.s, {L"\"HKLM\\SOFTWARE\\Test\""}, L"", report));
  EXPECT_EQ(report, L"Successfully took ownership and permissions for registry key " + kKey + L".\r\n");
  EXPECT_EQ(reg.SecurityOf(kKey), kLoose);
  reg.SetSecurity(kKey, L"BA", L"D:(A;;KA;;;BA)");
  report.clear();
  EXPECT_TRUE(RegistryTakePermissionsDirective(f.s, {kKey}, L"", report));
  EXPECT_EQ(FindRegistryDataBlock(f.s, kKey), original) << "the first record is kept";

  report.clear();
  EXPECT_TRUE(RegistryRestorePermissionsDirective(f.s, {L"hklm\\SOFTWARE\\Test"}, L"", report));
  EXPECT_EQ(report, L"Successfully restored ownership and permissions for registry key " + kKey + L".\r\n");
  EXPECT_EQ(reg.SecurityOf(kKey), original);
  EXPECT_EQ(FindRegistryDataBlock(f.s, kKey), original) << "a restore keeps the record";
  EXPECT_TRUE(PrivilegesBackOff(f));
  EXPECT_EQ(reg.OpenKeys(), 0u);
}

TEST(RegistryPermissions, ModesRecordOnlyOrStayQuiet) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.Protect(kKey);
  const std::wstring original = reg.SecurityOf(kKey);
  std::wstring report;
  EXPECT_TRUE(RegistryTakePermissionsDirective(f.s, {L"[MODE:1]", L"HKLM\\SOFTWARE\\Test"}, L"", report));
  EXPECT_EQ(report, L"");
  EXPECT_EQ(reg.SecurityOf(kKey), original);
  EXPECT_EQ(StoreText(f), kKey + L"|" + original);
  EXPECT_TRUE(RegistryTakePermissionsDirective(f.s, {L"[MODE:2]", kKey}, L"", report));
  EXPECT_EQ(report, L"");
  EXPECT_EQ(reg.SecurityOf(kKey), kLoose);
  EXPECT_TRUE(RegistryRestorePermissionsDirective(f.s, {L"[MODE:2]", kKey}, L"", report));
  EXPECT_EQ(report, L"");
  EXPECT_EQ(reg.SecurityOf(kKey), original);
  // "[MODE:1]" means nothing to a restore: it is read as a key line.
  EXPECT_FALSE(RegistryRestorePermissionsDirective(f.s, {L"[MODE:1]"}, L"", report));
  EXPECT_EQ(report, L"Failed to find stored datablock for registry key [MODE:1].\r\n");
}

TEST(RegistryPermissions, RootKeysUnknownRootsAndMissingRecords) {
  FakeSession f;
  auto& reg = f.w.registry();
  std::wstring report;
  EXPECT_TRUE(RegistryTakePermissionsDirective(f.s, {L"HKEY_CURRENT_USER"}, L"", report));
  EXPECT_EQ(reg.SecurityOf(L"HKEY_CURRENT_USER"), kLoose);
  report.clear();
  EXPECT_FALSE(RegistryTakePermissionsDirective(f.s, {L"FOO\\Bar", L"HKLM\\SOFTWARE\\None"}, L"", report));
  EXPECT_EQ(report, L"Failed to identify registry hive FOO.\r\nFailed to open registry key "
                    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\None with error code ERROR_FILE_NOT_FOUND.\r\n");
  report.clear();
  EXPECT_FALSE(RegistryRestorePermissionsDirective(f.s, {L"HKCU\\Nothing", L"HKEY_CURRENT_USER"}, L"", report));
  EXPECT_EQ(report, L"Failed to find stored datablock for registry key HKEY_CURRENT_USER\\Nothing.\r\n"
                    L"Successfully restored ownership and permissions for registry key HKEY_CURRENT_USER.\r\n");
}

TEST(RegistryPermissions, EveryFailedStepHasItsSentence) {
  struct Row {
    Op op;
    const wchar_t* part;
    int skip;
    const wchar_t* sentence;  // followed by the key and " with error code ERROR_ACCESS_DENIED.\r\n"
  };
  const Row takes[] = {
      {Op::kOpenKey, L"Test", 0, L"Failed to open registry key "},
      {Op::kGetKeySecurity, L"Test", 0, L"Failed to read registry key security information for "},
      {Op::kSddl, L"ToSddl", 0, L"Failed to serialize security descriptor for registry key "},
      {Op::kSddl, L"O:S-1-5-21", 0, L"Failed to convert intermediary ownership SID to binary security descriptor "},
      {Op::kSetKeySecurity, L"Test", 0, L"Failed to set registry key intermediary ownership for "},
      {Op::kOpenKey, L"Test", 1, L"Failed to open registry key for second time "},
      {Op::kSddl, L"O:WD", 0,
       L"Failed to convert loose permissions security information to binary security descriptor "},
      {Op::kSetKeySecurity, L"Test", 1, L"Failed to set registry key ownership for "},
  };
  for (auto& r : takes) {
    FakeSession f;
    f.w.registry().Protect(kKey);
    f.w.InjectFault(r.op, r.part, 5, 1, r.skip);
    std::wstring report;
    EXPECT_FALSE(RegistryTakePermissionsDirective(f.s, {kKey}, L"", report)) << r.sentence;
    EXPECT_EQ(report, r.sentence + kKey + L" with error code ERROR_ACCESS_DENIED.\r\n");
    EXPECT_TRUE(PrivilegesBackOff(f));
    EXPECT_EQ(f.w.registry().OpenKeys(), 0u) << r.sentence;
  }
  const Row restores[] = {
      {Op::kOpenKey, L"Test", 0, L"Failed to open registry key "},
      {Op::kSddl, L"D:PAI", 0, L"Failed to convert registry key security information to binary security descriptor "},
      {Op::kSetKeySecurity, L"Test", 0, L"Failed to restore registry key security information for "},
  };
  for (auto& r : restores) {
    FakeSession f;
    f.w.registry().Protect(kKey);
    std::wstring report;
    ASSERT_TRUE(RegistryTakePermissionsDirective(f.s, {L"[MODE:2]", kKey}, L"", report));
    f.w.InjectFault(r.op, r.part, 5, 1, r.skip);
    EXPECT_FALSE(RegistryRestorePermissionsDirective(f.s, {kKey}, L"", report)) << r.sentence;
    EXPECT_EQ(report, r.sentence + kKey + L" with error code ERROR_ACCESS_DENIED.\r\n");
  }
}

TEST(RegistryPermissions, CloseAndPrivilegeFailuresOnlyAddTheirSentences) {
  FakeSession f;
  f.w.registry().Protect(kKey);
  f.w.InjectFault(Op::kCloseKey, L"Test", 6, 1, 1);
  f.w.InjectFault(Op::kAdjustPrivilege, L"SeBackupPrivilege", 1300);
  f.w.InjectFault(Op::kAdjustPrivilege, L"SeTakeOwnershipPrivilege", 1300, 1, 1);
  std::wstring report;
  EXPECT_TRUE(RegistryTakePermissionsDirective(f.s, {kKey}, L"", report));
  EXPECT_EQ(report, L"Failed to enable the SE_BACKUP_NAME privilege.\r\nFailed to close registry key for " + kKey +
                        L" with error code ERROR_INVALID_HANDLE. Some changes may be non-permanent.\r\n"
                        L"Successfully took ownership and permissions for registry key " + kKey +
                        L".\r\nFailed to disable the SE_TAKE_OWNERSHIP_NAME privilege.\r\n");
  EXPECT_EQ(f.w.registry().SecurityOf(kKey), kLoose);
}

TEST(RegistryPermissions, IntermediaryOwnerIsTheTokensOwnUserWhateverItsNameResolvesTo) {
  FakeSession f;
  auto& sec = f.w.security();
  // No lookup by name: a domain account away from its controller has a
  // name that resolves to nothing, or to a local account of the same name.
  f.w.InjectFault(Op::kUserName, L"", 1355, -1);
  f.w.InjectFault(Op::kLookupAccount, L"", 1332, -1);
  f.w.registry().Protect(kKey);
  f.w.registry().Protect(kKey + L"\\Sub");
  std::wstring report;
  EXPECT_TRUE(RegistryTakePermissionsDirective(f.s, {kKey}, L"", report)) << report;
  EXPECT_EQ(f.w.registry().SecurityOf(kKey), kLoose);
  // Stopped after the intermediary step, the key is the token user's.
  f.w.InjectFault(Op::kSetKeySecurity, L"Sub", 5, 1, 1);
  EXPECT_FALSE(RegistryTakePermissionsDirective(f.s, {kKey + L"\\Sub"}, L"", report));
  EXPECT_EQ(f.w.registry().SecurityOf(kKey + L"\\Sub").substr(0, 2 + sec.userSid.size()), L"O:" + sec.userSid);
}

}  // namespace
}  // namespace corvex
