// The fake Windows' security model: it must refuse what Windows refuses, or
// the permission directives' tests would prove nothing.
#include "platform/fake/fake_security.h"

#include <gtest/gtest.h>

#include "sample_files.h"
#include "security_test_support.h"

namespace corvex {
namespace {

using fake::FakeSecurity;
using namespace testing;


TEST(FakeSecurity, ProtectedFilesRefuseWritesUntilTheirDaclAllowsThem) {
  FakeSession f;
  auto& sec = f.w.security();
  auto& fs = f.w.platform().fs;
  sec.AddProtectedFile(kFile, "old");
  f.w.AddFile(L"C:\\new.dll", "new");
  EXPECT_EQ(fs.WriteFile(kFile, "x", false).code(), 5u);
  EXPECT_EQ(fs.CopyFile(L"C:\\new.dll", kFile, false).code(), 5u);
  EXPECT_EQ(f.w.FileBytes(kFile), "old");
  EXPECT_TRUE(fs.ReadFile(kFile).ok()) << "reading needs no write access";

  sec.SetDescriptor(kFile, kTrustedInstaller, L"D:PAI(A;;FA;;;WD)");
  EXPECT_TRUE(fs.CopyFile(L"C:\\new.dll", kFile, false).ok());
  EXPECT_EQ(f.w.FileBytes(kFile), "new");

  // A deny entry ahead of the grant wins, as the canonical order makes it.
  sec.SetDescriptor(kFile, kTrustedInstaller, L"D:(D;;FW;;;WD)(A;;FA;;;BA)");
  EXPECT_EQ(fs.WriteFile(kFile, "y", false).code(), 5u);
  // Inherit-only entries do not apply to the object itself.
  sec.SetDescriptor(kFile, kTrustedInstaller, L"D:(A;OICIIO;GA;;;BA)");
  EXPECT_EQ(fs.WriteFile(kFile, "y", false).code(), 5u);
  sec.SetDescriptor(kFile, kTrustedInstaller, L"D:NO_ACCESS_CONTROL");
  EXPECT_TRUE(fs.WriteFile(kFile, "y", false).ok()) << "a null DACL lets everyone in";
}

TEST(FakeSecurity, OwnersChangeOnlyWithTheRightPrivilege) {
  Protected f;
  auto& sec = f.w.security();
  // Without a privilege see SecurityPrimitives.OwnersAreReadAndSet.
  sec.enabledPrivileges.insert(L"SeTakeOwnershipPrivilege");
  EXPECT_TRUE(sec.SetOwner(kFile, sec.userSid).ok());
  EXPECT_TRUE(sec.SetOwner(kFile, L"BA").ok());
  EXPECT_EQ(sec.DescriptorOf(kFile).owner, L"S-1-5-32-544") << "aliases are kept as SIDs";

  sec.enabledPrivileges = {L"SeRestorePrivilege"};
  EXPECT_TRUE(sec.SetOwner(kFile, kTrustedInstaller).ok());
  EXPECT_EQ(sec.SetOwner(kFile, L"not a sid").code(), 1337u);
  EXPECT_EQ(sec.SetOwner(L"C:\\Windows\\System32\\none.dll", L"BA").code(), 2u);
  EXPECT_EQ(sec.SetOwner(L"C:\\Windows\\Nowhere\\none.dll", L"BA").code(), 3u);

  // Without READ_CONTROL the owner cannot be read, unless backup is on.
  sec.SetDescriptor(kFile, kTrustedInstaller, L"D:P(A;;FA;;;SY)");
  EXPECT_EQ(sec.ReadOwner(kFile).code(), 5u);
  sec.enabledPrivileges.insert(L"SeBackupPrivilege");
  EXPECT_TRUE(sec.ReadOwner(kFile).ok());
}

TEST(FakeSecurity, HardLinksShareBytesAndOneDescriptor) {
  FakeSession f;
  auto& sec = f.w.security();
  const std::wstring store = L"C:\\Windows\\WinSxS\\x86_demo_1.0\\demo.dll";
  sec.AddProtectedFile(store, "v1");
  sec.LinkFile(store, kFile);
  sec.SetDescriptor(kFile, L"S-1-1-0", L"D:(A;;FA;;;WD)");
  EXPECT_EQ(sec.DescriptorOf(store).dacl, L"D:(A;;FA;;;WD)") << "a change through one name shows in all";
  ASSERT_TRUE(f.w.platform().fs.WriteFile(store, "v2", false).ok());
  EXPECT_EQ(f.w.FileBytes(kFile), "v2");

  auto links = sec.HardLinksOfPath(L"\\\\?\\" + kFile);
  ASSERT_TRUE(links.ok());
  EXPECT_EQ(links->linkCount, 2u);
  EXPECT_FALSE(links->deletePending);
  EXPECT_EQ(links->paths, (std::vector<std::wstring>{kFile, store}));

  f.w.platform().fs.SetAttributes(store, 0x80);
  sec.SetDescriptor(store, L"S-1-1-0", L"D:(A;;FA;;;WD)");
  ASSERT_TRUE(f.w.platform().fs.DeleteFile(store).ok());
  sec.MarkDeletePending(kFile);
  links = sec.HardLinksOfPath(kFile);
  EXPECT_EQ(links->linkCount, 1u);
  EXPECT_TRUE(links->deletePending);
  EXPECT_EQ(sec.HardLinksOfPath(store).code(), 2u);
}

// A quoted name with a space is split by FakeRegExe's export, switches by
// every FakeIcacls run, doubled backslashes before a quote by
// RestorePermissions.ObjectsInTheRootOfADriveAndRecordProblems.
TEST(FakeSecurity, CommandLinesSplitAsWindowsDoes) {
  EXPECT_EQ(FakeSecurity::SplitCommandLine(L"\"C:\\\" /restore x"), (std::vector<std::wstring>{L"C:\" /restore x"}))
      << "one backslash before the closing quote escapes it";
  EXPECT_EQ(FakeSecurity::SplitCommandLine(L"a\\\\b"), (std::vector<std::wstring>{L"a\\\\b"}));
}

// The real icacls's save file for bfsvc.exe, cut from the sample.
std::string SampleObject(const std::string& sample, const std::wstring& name) {
  std::wstring text = FromUtf16Le(sample);
  size_t at = text.find(name + L"\r\n");
  size_t end = text.find(L"\r\n", at + name.size() + 2);
  return ToUtf16Le(text.substr(at, end + 2 - at));
}

TEST(FakeIcacls, SaveWritesTheLayoutOfTheRealTool) {
  FakeSession f;
  std::string sample = ReadSample("windows/icacls-save-windir-1.acl");
  std::string expected = SampleObject(sample, L"bfsvc.exe");
  std::wstring sddl = FromUtf16Le(expected);
  sddl = sddl.substr(sddl.find(L"D:"), sddl.size() - sddl.find(L"D:") - 2);
  f.w.security().AddProtectedFile(L"C:\\Windows\\bfsvc.exe", "MZ");
  f.w.security().SetDescriptor(L"C:\\Windows\\bfsvc.exe", kTrustedInstaller, sddl);
  f.w.AddFolder(L"C:\\t");
  auto run = f.w.platform().processes.Run(Icacls(L" \"C:\\Windows\\bfsvc.exe\" /save \"C:\\t\\out\" /Q"));
  ASSERT_TRUE(run.ok());
  EXPECT_EQ(run->exitCode, 0u);
  EXPECT_EQ(f.w.FileBytes(L"C:\\t\\out"), expected) << "UTF-16LE, no byte-order mark, CR LF after each line";

  f.w.AddFile(L"C:\\Windows\\notepad.exe", "MZ");
  run = f.w.platform().processes.Run(Icacls(L" \"C:\\Windows\\*.exe\" /save \"C:\\t\\all\""));
  // notepad.exe has what C:\Windows passes on to files.
  EXPECT_EQ(FromUtf16Le(f.w.FileBytes(L"C:\\t\\all")), L"bfsvc.exe\r\n" + sddl +
                                                          L"\r\nnotepad.exe\r\n"
                                                          L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)\r\n");

  run = f.w.platform().processes.Run(Icacls(L" \"C:\\Windows\\none.exe\" /save \"C:\\t\\none\""));
  EXPECT_EQ(run->exitCode, 2u);
  EXPECT_FALSE(f.w.Exists(L"C:\\t\\none"));
  run = f.w.platform().processes.Run(Icacls(L" \"C:\\Windows\\bfsvc.exe\" /save"));
  EXPECT_EQ(run->exitCode, 87u);
}

TEST(FakeIcacls, RestoreWritesWhatTheOwnerMayAndRefusesMarksAndOddFiles) {
  Protected f;
  auto& sec = f.w.security();
  f.w.AddFile(L"C:\\t\\acl", ToUtf16Le(L"corvexdemo.dll\r\nD:(A;;FA;;;BU)\r\n"));
  // Without WRITE_DAC it is refused: RestorePermissions.IcaclsFailuresAndTheNullOwner.
  sec.SetDescriptor(kFile, L"S-1-1-0", kProtectedDacl);
  auto run = f.w.platform().processes.Run(Icacls(L" \"C:\\Windows\\System32\" /restore \"C:\\t\\acl\""));
  EXPECT_EQ(run->exitCode, 0u) << "the owner may always write the DACL";
  EXPECT_EQ(sec.DescriptorOf(kFile).dacl, L"D:(A;;FA;;;BU)");

  f.w.AddFile(L"C:\\t\\bom", Utf16Bom(L"corvexdemo.dll\r\nD:(A;;FA;;;WD)\r\n"));
  run = f.w.platform().processes.Run(Icacls(L" \"C:\\Windows\\System32\" /restore \"C:\\t\\bom\""));
  EXPECT_EQ(run->exitCode, 2u) << "a byte-order mark becomes part of the first name";
  f.w.AddFile(L"C:\\t\\odd", ToUtf16Le(L"corvexdemo.dll\r\n"));
  run = f.w.platform().processes.Run(Icacls(L" \"C:\\Windows\\System32\" /restore \"C:\\t\\odd\""));
  EXPECT_EQ(run->exitCode, 87u);
  EXPECT_EQ(sec.DescriptorOf(kFile).dacl, L"D:(A;;FA;;;BU)");
}

}  // namespace
}  // namespace corvex
