#include "fs/security_primitives.h"

#include <gtest/gtest.h>

#include "security_test_support.h"

namespace corvex {
namespace {

using fake::Op;
using namespace testing;

TEST(SecurityPrimitives, PrivilegesAreSwitchedOnOneTokenAndAFailureReleasesTheState) {
  FakeSession f;
  auto& sec = f.w.security();
  ASSERT_TRUE(EnableRestorePrivilege(f.s));
  EXPECT_TRUE(sec.PrivilegeEnabled(L"SeRestorePrivilege"));
  ASSERT_TRUE(SetTakeOwnershipPrivilege(f.s, true));
  ASSERT_TRUE(EnableNamedPrivilege(f.s, L"SeBackupPrivilege"));
  EXPECT_EQ(sec.OpenHandles(), 1u) << "one token serves every switch";

  ASSERT_TRUE(DisableRestorePrivilege(f.s));
  ASSERT_TRUE(SetTakeOwnershipPrivilege(f.s, false));
  ASSERT_TRUE(DisableNamedPrivilege(f.s, L"SeBackupPrivilege"));
  EXPECT_TRUE(PrivilegesBackOff(f));
  ReleaseSecurityState(f.s);
  EXPECT_EQ(sec.OpenHandles(), 0u);

  // A privilege the token lacks is not switched on, and says so.
  sec.heldPrivileges.erase(L"SeSecurityPrivilege");
  ASSERT_TRUE(OpenCurrentProcessToken(f.s));
  EXPECT_FALSE(EnableNamedPrivilege(f.s, L"SeSecurityPrivilege"));
  EXPECT_FALSE(sec.PrivilegeEnabled(L"SeSecurityPrivilege"));
  EXPECT_EQ(sec.OpenHandles(), 0u) << "the failure released the token";

  ASSERT_TRUE(InitEveryoneSid(f.s));
  EXPECT_FALSE(EnableNamedPrivilege(f.s, L"SeNoSuchPrivilege"));
  EXPECT_EQ(sec.OpenHandles(), 0u);
  EXPECT_TRUE(f.s.security.everyoneSid.empty()) << "everything goes after a failure";

  f.w.InjectFault(Op::kAdjustPrivilege, L"SeRestorePrivilege", 5);
  EXPECT_FALSE(DisableRestorePrivilege(f.s));

  f.w.InjectFault(Op::kOpenToken, L"", 8);
  EXPECT_FALSE(SetTakeOwnershipPrivilege(f.s, true));
  EXPECT_FALSE(sec.PrivilegeEnabled(L"SeTakeOwnershipPrivilege"));
}

TEST(SecurityPrimitives, SidsAreMadeAndReleased) {
  FakeSession f;
  ASSERT_TRUE(InitCurrentUserSid(f.s));
  EXPECT_EQ(f.s.security.currentUserSid, f.w.security().userSid);
  ASSERT_TRUE(InitTrustedInstallerSid(f.s));
  ReleaseSecurityState(f.s);
  ASSERT_TRUE(InitTrustedInstallerSid(f.s)) << "made again after a release";

  for (auto [op, part] : {std::pair{Op::kUserName, L""}, {Op::kLookupAccount, L"Tester"}, {Op::kCheckSid, L"S-1-5-21"}}) {
    f.w.InjectFault(op, part, 1337);
    EXPECT_FALSE(InitCurrentUserSid(f.s)) << part;
  }
  EXPECT_TRUE(f.s.security.currentUserSid.empty());
  EXPECT_TRUE(f.s.security.trustedInstallerSid.empty());

  f.w.InjectFault(Op::kCheckSid, kTrustedInstaller, 1337);
  EXPECT_FALSE(InitTrustedInstallerSid(f.s));
}

TEST(SecurityPrimitives, EveryoneDaclIsOneInheritableFullControlEntry) {
  FakeSession f;
  auto& sec = f.w.security();
  ASSERT_TRUE(InitEveryoneSid(f.s));
  ASSERT_TRUE(BuildEveryoneDacl(f.s));
  EXPECT_EQ(f.s.security.everyoneDacl, L"D:(A;OICI;GA;;;WD)");

  // The parent's inheritance stays in force on an unprotected object.
  f.w.AddFile(L"C:\\Users\\Tester\\x.txt", "x");
  EXPECT_EQ(SetEveryoneDacl(f.s, L"C:\\Users\\Tester\\x.txt").code(), 0u);
  EXPECT_EQ(sec.DescriptorOf(L"C:\\Users\\Tester\\x.txt").dacl, L"D:AI(A;OICI;GA;;;WD)(A;ID;FA;;;BA)(A;ID;FA;;;SY)");

  sec.AddProtectedFile(kFile, "x");
  EXPECT_EQ(SetEveryoneDacl(f.s, kFile).code(), 5u);
  EXPECT_EQ(sec.DescriptorOf(kFile).dacl, kProtectedDacl);
  EXPECT_EQ(SetEveryoneDacl(f.s, L"C:\\Windows\\System32\\none.dll").code(), 2u);

  // After a release the DACL is made again, never left empty (a null DACL).
  ReleaseSecurityState(f.s);
  sec.SetDescriptor(kFile, L"S-1-1-0", kProtectedDacl);
  EXPECT_EQ(SetEveryoneDacl(f.s, kFile).code(), 0u);
  EXPECT_EQ(sec.DescriptorOf(kFile).dacl, L"D:PAI(A;OICI;GA;;;WD)");
  ReleaseSecurityState(f.s);
  f.w.InjectFault(Op::kBuildAcl, L"", 8);
  sec.SetDescriptor(kFile, L"S-1-1-0", kProtectedDacl);
  EXPECT_EQ(SetEveryoneDacl(f.s, kFile).code(), 8u);
  EXPECT_EQ(sec.DescriptorOf(kFile).dacl, kProtectedDacl);

  f.w.InjectFault(Op::kEveryoneSid, L"", 8);
  EXPECT_FALSE(InitEveryoneSid(f.s));
}

// A read owner and a failed read are
// TakePermissions.LaterFailuresAreReportedAfterTheRecord's and the
// records of TakeAndRestorePermissions; an owner read of a missing file:
// TakeAndRestorePermissions.QuietModeOnlyAsTheFirstLine.
TEST(SecurityPrimitives, OwnersAreReadAndSetAndSystem32MeansTheNativeFolder) {
  Protected f;
  auto& sec = f.w.security();
  EXPECT_EQ(SetOwner(f.s, f.w.security().userSid, kFile).code(), 5u) << "neither privilege is on";
  EXPECT_EQ(SetOwner(f.s, L"", kFile).code(), 87u) << "an empty SID is never passed on";
  ASSERT_TRUE(EnableRestorePrivilege(f.s));
  EXPECT_TRUE(SetOwner(f.s, L"S-1-1-0", kFile).ok());
  EXPECT_EQ(sec.DescriptorOf(kFile).owner, L"S-1-1-0");

  // Under WOW64 "System32" is the 32-bit folder; Sysnative is the native one.
  FakeSession g;
  g.w.wow64 = true;
  g.w.security().AddProtectedFile(L"C:\\Windows\\Sysnative\\corvexdemo.dll", "native");
  g.w.AddFile(kFile, "wow64");
  EXPECT_EQ(ReadOwner(g.s, kFile).value_or(L"?"), kTrustedInstaller);
}

// The undo's sentence: TakePermissions.AFailedRecordPutsTheOwnerBack; the null SID an unread owner
// was recorded as: RestorePermissions.IcaclsFailuresAndTheNullOwner.
TEST(WriteOwner, GivesTheRecordedOwnerBackOrSaysWhyNot) {
  Protected f;
  auto& sec = f.w.security();
  sec.SetDescriptor(kFile, L"S-1-1-0", kProtectedDacl);
  std::wstring report;
  EXPECT_TRUE(WriteOwner(f.s, report, kFile, L" " + kTrustedInstaller + L"\t", OwnerWrite::kRestore));
  EXPECT_EQ(report, L"Successfully restored ownership for " + kFile + L"\r\n");
  EXPECT_TRUE(f.Back());
  EXPECT_TRUE(PrivilegesBackOff(f));
  EXPECT_EQ(sec.OpenHandles(), 0u);

  report.clear();
  EXPECT_FALSE(WriteOwner(f.s, report, kFile, L"S-1-5-80-bogus"));
  EXPECT_EQ(report, L"Failed to initialize SID in WriteOwner function with error code 0x539.\r\n");
  EXPECT_TRUE(sec.PrivilegeEnabled(L"SeRestorePrivilege")) << "the privileges were already on";

  Protected g;
  g.w.InjectFault(Op::kSetOwner, L"corvexdemo", 5, 2);
  g.w.InjectFault(Op::kAdjustPrivilege, L"SeTakeOwnershipPrivilege", 1300, 1, 1);
  report.clear();
  EXPECT_FALSE(WriteOwner(g.s, report, kFile, L"S-1-5-18"));
  EXPECT_EQ(report, L"Failed to set ownership to current user for file or folder " + kFile +
                        L" in WriteOwner function. Proceeding anyway.\r\n"
                        L"Failed to restore ownership for " + kFile +
                        L" in WriteOwner function. Error code 0x5\r\n"
                        L"Failed to disable privilege 2 in process access token in WriteOwner function.\r\n");
  EXPECT_EQ(g.w.security().DescriptorOf(kFile).owner, kTrustedInstaller);

  Protected h;
  h.w.InjectFault(Op::kOpenToken, L"", 5);
  h.w.InjectFault(Op::kUserName, L"", 5);
  report.clear();
  EXPECT_TRUE(WriteOwner(h.s, report, kFile, L"S-1-5-18")) << "these failures are written, not counted";
  EXPECT_EQ(report,
            L"Failed to initialize current process access token in WriteOwner function.\r\n"
            L"Failed to initialize Current User SID in WriteOwner function.\r\n"
            L"Failed to set ownership to current user for file or folder " + kFile +
                L" in WriteOwner function. Proceeding anyway.\r\n"
                L"Successfully restored ownership for " + kFile + L"\r\n");
  EXPECT_EQ(h.w.security().DescriptorOf(kFile).owner, L"S-1-5-18");
}

}  // namespace
}  // namespace corvex
