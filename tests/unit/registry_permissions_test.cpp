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

const std::wstring kTestKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";
const std::wstring kLoose = L"O:WDD:PAI(A;CI;KA;;;WD)";

const auto RegTake = RegistryTakePermissionsDirective;
const auto RegRestore = RegistryRestorePermissionsDirective;

TEST(RegistryPermissions, TakeTwiceRestoreOnceGivesBackTheFirstSecurity) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.Protect(kTestKey);
  const std::wstring original = reg.SecurityOf(kTestKey);
  Ran(RegTake, f, {L"\"HKLM\\SOFTWARE\\Test\""});
  EXPECT_EQ(reg.SecurityOf(kTestKey), kLoose);
  reg.SetSecurity(kTestKey, L"BA", L"D:(A;;KA;;;BA)");
  Ran(RegTake, f, {kTestKey});
  EXPECT_EQ(FindRegistryDataBlock(f.s, kTestKey), original) << "the first record is kept";

  Ran(RegRestore, f, {L"hklm\\SOFTWARE\\Test"});
  EXPECT_EQ(reg.SecurityOf(kTestKey), original);
  EXPECT_EQ(FindRegistryDataBlock(f.s, kTestKey), original) << "a restore keeps the record";
  EXPECT_TRUE(PrivilegesBackOff(f));
  EXPECT_EQ(reg.OpenKeys(), 0u);
}

TEST(RegistryPermissions, ModesRecordOnlyOrStayQuiet) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.Protect(kTestKey);
  const std::wstring original = reg.SecurityOf(kTestKey);
  EXPECT_EQ(Ran(RegTake, f, {L"[MODE:1]", L"HKLM\\SOFTWARE\\Test"}), L"");
  EXPECT_EQ(reg.SecurityOf(kTestKey), original);
  EXPECT_EQ(StoreText(f), kTestKey + L"|" + original);
  EXPECT_EQ(Ran(RegTake, f, {L"[MODE:2]", kTestKey}), L"");
  EXPECT_EQ(reg.SecurityOf(kTestKey), kLoose);
  EXPECT_EQ(Ran(RegRestore, f, {L"[MODE:2]", kTestKey}), L"");
  EXPECT_EQ(reg.SecurityOf(kTestKey), original);
  // "[MODE:1]" means nothing to a restore: it is read as a key line.
  EXPECT_EQ(Ran(RegRestore, f, {L"[MODE:1]"}, false), L"Failed to find stored datablock for registry key [MODE:1].\r\n");
}

TEST(RegistryPermissions, RootKeysUnknownRootsAndMissingRecords) {
  FakeSession f;
  Ran(RegTake, f, {L"HKEY_CURRENT_USER"});
  EXPECT_EQ(f.w.registry().SecurityOf(L"HKEY_CURRENT_USER"), kLoose);
  EXPECT_EQ(Ran(RegTake, f, {L"FOO\\Bar", L"HKLM\\SOFTWARE\\None"}, false),
            L"Failed to identify registry hive FOO.\r\nFailed to open registry key "
            L"HKEY_LOCAL_MACHINE\\SOFTWARE\\None with error code ERROR_FILE_NOT_FOUND.\r\n");
  EXPECT_EQ(Ran(RegRestore, f, {L"HKCU\\Nothing", L"HKEY_CURRENT_USER"}, false),
            L"Failed to find stored datablock for registry key HKEY_CURRENT_USER\\Nothing.\r\n"
            L"Successfully restored ownership and permissions for registry key HKEY_CURRENT_USER.\r\n");
}

TEST(RegistryPermissions, EveryFailedStepHasItsSentence) {
  struct Row {
    bool restore;  // a restore after a quiet take, else a take
    Op op;
    const wchar_t* part;
    int skip;
    const wchar_t* sentence;  // followed by the key and " with error code ERROR_ACCESS_DENIED.\r\n"
  };
  const Row rows[] = {
      {false, Op::kOpenKey, L"Test", 0, L"Failed to open registry key "},
      {false, Op::kGetKeySecurity, L"Test", 0, L"Failed to read registry key security information for "},
      {false, Op::kSddl, L"ToSddl", 0, L"Failed to serialize security descriptor for registry key "},
      {false, Op::kSddl, L"O:S-1-5-21", 0,
       L"Failed to convert intermediary ownership SID to binary security descriptor "},
      {false, Op::kSetKeySecurity, L"Test", 0, L"Failed to set registry key intermediary ownership for "},
      {false, Op::kOpenKey, L"Test", 1, L"Failed to open registry key for second time "},
      {false, Op::kSddl, L"O:WD", 0,
       L"Failed to convert loose permissions security information to binary security descriptor "},
      {false, Op::kSetKeySecurity, L"Test", 1, L"Failed to set registry key ownership for "},
      {true, Op::kOpenKey, L"Test", 0, L"Failed to open registry key "},
      {true, Op::kSddl, L"D:PAI", 0,
       L"Failed to convert registry key security information to binary security descriptor "},
      {true, Op::kSetKeySecurity, L"Test", 0, L"Failed to restore registry key security information for "},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(ToUtf8(r.sentence));
    FakeSession f;
    f.w.registry().Protect(kTestKey);
    if (r.restore) Ran(RegTake, f, {L"[MODE:2]", kTestKey});
    f.w.InjectFault(r.op, r.part, 5, 1, r.skip);
    EXPECT_EQ(Ran(r.restore ? RegRestore : RegTake, f, {kTestKey}, false),
              r.sentence + kTestKey + L" with error code ERROR_ACCESS_DENIED.\r\n");
    EXPECT_TRUE(PrivilegesBackOff(f));
    EXPECT_EQ(f.w.registry().OpenKeys(), 0u);
  }
}

TEST(RegistryPermissions, CloseAndPrivilegeFailuresOnlyAddTheirSentences) {
  FakeSession f;
  f.w.registry().Protect(kTestKey);
  f.w.InjectFault(Op::kCloseKey, L"Test", 6, 1, 1);
  f.w.InjectFault(Op::kAdjustPrivilege, L"SeBackupPrivilege", 1300);
  f.w.InjectFault(Op::kAdjustPrivilege, L"SeTakeOwnershipPrivilege", 1300, 1, 1);
  EXPECT_EQ(Ran(RegTake, f, {kTestKey}),
            L"Failed to enable the SE_BACKUP_NAME privilege.\r\nFailed to close registry key for " + kTestKey +
                L" with error code ERROR_INVALID_HANDLE. Some changes may be non-permanent.\r\n"
                L"Successfully took ownership and permissions for registry key " + kTestKey +
                L".\r\nFailed to disable the SE_TAKE_OWNERSHIP_NAME privilege.\r\n");
  EXPECT_EQ(f.w.registry().SecurityOf(kTestKey), kLoose);
}

TEST(RegistryPermissions, IntermediaryOwnerIsTheTokensOwnUserWhateverItsNameResolvesTo) {
  FakeSession f;
  auto& sec = f.w.security();
  // No lookup by name: a domain account away from its controller has a
  // name that resolves to nothing, or to a local account of the same name.
  f.w.InjectFault(Op::kUserName, L"", 1355, -1);
  f.w.InjectFault(Op::kLookupAccount, L"", 1332, -1);
  f.w.registry().Protect(kTestKey);
  f.w.registry().Protect(kTestKey + L"\\Sub");
  Ran(RegTake, f, {kTestKey});
  EXPECT_EQ(f.w.registry().SecurityOf(kTestKey), kLoose);
  // Stopped after the intermediary step, the key is the token user's.
  f.w.InjectFault(Op::kSetKeySecurity, L"Sub", 5, 1, 1);
  Ran(RegTake, f, {kTestKey + L"\\Sub"}, false);
  EXPECT_EQ(f.w.registry().SecurityOf(kTestKey + L"\\Sub").substr(0, 2 + sec.userSid.size()), L"O:" + sec.userSid);
}

}  // namespace
}  // namespace corvex
