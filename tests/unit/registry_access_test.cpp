// Key paths, backups (RegistryExport::) and hive loading (LoadHive::).
#include "registry/registry_access.h"

#include <gtest/gtest.h>

#include "core/datablock_store.h"
#include "platform/fake/fake_registry.h"
#include "security_test_support.h"

namespace corvex {
namespace {

using fake::Op;
using platform::RootKey;
using namespace testing;

const std::wstring kBackups = L"C:\\Corvex\\Backups\\Registry";
const std::wstring kKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Windows NT\\Session Manager";
const std::wstring kKeyFolder = kBackups + L"\\" + kKey;

TEST(RegistryPaths, RootsExpandAndResolveAsWritten) {
  struct Row {
    const wchar_t* in;
    const wchar_t* expanded;
    RootKey root;  // of the expanded form's first component
  };
  const Row rows[] = {
      {L"hklm\\SOFTWARE\\\\Foo\\", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Foo", RootKey::kLocalMachine},
      {L"hkey_local_machine\\X", L"hkey_local_machine\\X", RootKey::kNone},
      {L"FOO\\Bar", L"FOO\\Bar", RootKey::kNone},
      {L"\\\\", L"\\\\", RootKey::kNone},
  };
  for (auto& r : rows) {
    std::wstring expanded = ExpandRootAbbreviation(r.in);
    EXPECT_EQ(expanded, r.expanded) << r.in;
    EXPECT_EQ(RootKeyFromName(expanded.substr(0, expanded.find(L'\\'))), r.root) << r.in;
  }
}

TEST(RegistryPaths, KeyNamesThatNoFolderCanHoldAreEscaped) {
  FakeSession f;
  EXPECT_EQ(RegistryBackupFolder(f.s, L"HKEY_CURRENT_USER\\..\\.\\a:b\\c*?\\d<>|\"/e\\x. \\50%"),
            kBackups + L"\\HKEY_CURRENT_USER\\%2E%2E\\%2E\\a%3Ab\\c%2A%3F\\d%3C%3E%7C%22%2Fe\\x%2E%20\\50%25");

  // An export goes where the escaped name says, never a folder up.
  f.w.registry().SetString(L"HKCU\\Software\\..", L"v", L"x");
  std::wstring exported;
  ASSERT_TRUE(ExportRegistryKeyToBackup(f.s, L"HKEY_CURRENT_USER\\Software\\..", &exported));
  EXPECT_EQ(exported, kBackups + L"\\HKEY_CURRENT_USER\\Software\\%2E%2E\\Export0.reg");
  EXPECT_TRUE(f.w.Exists(exported));
  EXPECT_FALSE(f.w.Exists(kBackups + L"\\HKEY_CURRENT_USER\\Export0.reg"));
}

TEST(RegistryExport, BacksAKeyUpThreeTimesSideBySideWithoutOpeningItUp) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.SetString(kKey, L"Name", L"v");
  reg.Protect(kKey);
  const std::wstring before = reg.SecurityOf(kKey);

  for (int n = 0; n < 3; ++n) {
    std::wstring exported, blocks;
    ASSERT_TRUE(ExportRegistryKeyToBackup(f.s, kKey, &exported, &blocks)) << n;
    EXPECT_EQ(exported, kKeyFolder + L"\\Export" + Decimal(n) + L".reg");
    EXPECT_EQ(blocks, kKeyFolder + L"\\Export" + Decimal(n) + L".datablocks");
    EXPECT_EQ(f.Utf16File(blocks), kKey + L"|" + before);
  }
  // Quoted arguments: a key with spaces reaches reg.exe whole.
  EXPECT_EQ(reg.regCommands[0], L" EXPORT \"" + kKey + L"\" \"" + kKeyFolder + L"\\Export0.reg\" /y");
  EXPECT_EQ(reg.SecurityOf(kKey), before) << "a backup records the security and leaves it as it was";
  EXPECT_EQ(FindRegistryDataBlock(f.s, kKey), before);
  EXPECT_EQ(f.w.registry().OpenKeys(), 0u);
  EXPECT_EQ(f.w.security().enabledPrivileges, std::set<std::wstring>{L"SeChangeNotifyPrivilege"});
}

TEST(RegistryExport, RefusesWhatItCannotBackUp) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.AddKey(L"HKCU\\Software\\Full");
  for (int n = 0; n < 100; ++n)
    f.w.AddFile(kBackups + L"\\HKEY_CURRENT_USER\\Software\\Full\\Export" + Decimal(n) + L".reg", "x");
  EXPECT_FALSE(ExportRegistryKeyToBackup(f.s, L"HKEY_CURRENT_USER\\Software\\Full")) << "the 101st export";

  EXPECT_TRUE(ExportRegistryKeyToBackup(f.s, L"HKEY_CURRENT_USER\\Software\\Missing")) << "nothing to back up";
  EXPECT_FALSE(f.w.Exists(kBackups + L"\\HKEY_CURRENT_USER\\Software\\Missing"));

  reg.AddKey(L"HKCU\\Software\\a\"b");
  EXPECT_FALSE(ExportRegistryKeyToBackup(f.s, L"HKEY_CURRENT_USER\\Software\\a\"b")) << "a quote would split it";
  EXPECT_TRUE(reg.regCommands.empty()) << "reg.exe never sees it";
}

TEST(RegistryExport, AFailedExportTakesItsNewFoldersAwayButNeverTheBackupRoot) {
  FakeSession f;
  f.w.AddFolder(kBackups);
  f.w.registry().AddKey(L"HKLM\\SOFTWARE\\Gone");
  f.w.InjectFault(Op::kRunProcess, L"reg.exe", 2);
  EXPECT_FALSE(ExportRegistryKeyToBackup(f.s, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone"));
  EXPECT_FALSE(f.w.Exists(kBackups + L"\\HKEY_LOCAL_MACHINE"));
  EXPECT_TRUE(f.w.IsFolder(kBackups));
}

// The report of a key that was exported: e2e registry_export_script_and_permissions_with_backups.
TEST(RegistryExport, DirectiveReportsAMissingKeyOrWhatFailed) {
  FakeSession f;
  f.w.registry().SetDword(L"HKLM\\SOFTWARE\\Test", L"d", 1);
  const std::wstring key = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";
  const std::wstring text = L"[" + key + L"]\r\n\"d\"=dword:00000001\r\n\r\n";
  EXPECT_EQ(Ran(RegistryExportDirective, f, {L"hklm\\SOFTWARE\\None"}),
            L"Successfully exported registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\None.\r\n\r\n"
            L"\r\n\r\nDatablocks: \r\n\r\n");

  f.w.InjectFault(Op::kRunProcess, L"reg.exe", 2);
  EXPECT_EQ(Ran(RegistryExportDirective, f, {key}, false), L"Failed to export registry key " + key + L".\r\n\r\n");
  f.w.InjectFault(Op::kWriteFile, L"Export0.datablocks", 5);
  EXPECT_EQ(Ran(RegistryExportDirective, f, {key}, false),
            L"Failed to export datablocks for registry key " + key + L".\r\n\r\n" + text);
}

TEST(LoadHive, EachLineLoadsOrSaysWhy) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.WriteHiveFile(L"C:\\Windows\\System32\\config\\COMPONENTS", L"[DerivedData]\r\n");
  reg.WriteHiveFile(L"C:\\hives\\other", L"[]\r\n");
  f.w.AddFile(L"C:\\hives\\junk", "junk");
  EXPECT_EQ(Ran(LoadHiveDirective, f,
                {L"components", L"C:\\hives|X", L"C:\\hives\\other|Other|extra", L"C:\\HIVES\\OTHER|Again",
                 L"C:\\hives\\junk|Junk"},
                false),
            L"Successfully loaded registry hive C:\\Windows\\System32\\config\\COMPONENTS into key "
            L"HKEY_LOCAL_MACHINE\\COMPONENTS.\r\n"
            L"Failed to load registry hive file C:\\hives. File not found.\r\n"
            L"Successfully loaded registry hive C:\\hives\\other into key HKEY_LOCAL_MACHINE\\Other.\r\n"
            L"Failed to load registry hive C:\\HIVES\\OTHER into key HKEY_LOCAL_MACHINE\\Again with error code "
            L"ERROR_SHARING_VIOLATION.\r\n"
            L"Failed to load registry hive C:\\hives\\junk into key HKEY_LOCAL_MACHINE\\Junk with error code "
            L"ERROR_BADDB.\r\n");
  EXPECT_TRUE(reg.KeyExists(L"HKLM\\COMPONENTS\\DerivedData"));
  EXPECT_TRUE(PrivilegesBackOff(f));

  // The loadability test answers without leaving anything mounted.
  EXPECT_TRUE(IsHiveFileLoadable(f.s, L"C:\\hives\\other")) << "in use counts as loadable";
  reg.WriteHiveFile(L"C:\\hives\\fresh", L"[]\r\n");
  EXPECT_TRUE(IsHiveFileLoadable(f.s, L"C:\\hives\\fresh"));
  EXPECT_FALSE(reg.KeyExists(L"HKLM\\CorvexLoadedRegistryHive"));
  EXPECT_FALSE(IsHiveFileLoadable(f.s, L"C:\\hives\\junk"));
}

TEST(LoadHive, PrivilegeFailuresAreSaidAndWow64ReachesTheNativeFile) {
  FakeSession f;
  f.w.wow64 = true;
  f.w.registry().WriteHiveFile(L"C:\\Windows\\Sysnative\\config\\COMPONENTS", L"[]\r\n");
  f.w.InjectFault(Op::kAdjustPrivilege, L"SeRestorePrivilege", 1300);
  const std::wstring into = L" registry hive C:\\Windows\\System32\\config\\COMPONENTS into key "
                           L"HKEY_LOCAL_MACHINE\\COMPONENTS";
  EXPECT_EQ(Ran(LoadHiveDirective, f, {L"COMPONENTS"}, false),
            L"Failed to enable the SE_RESTORE_NAME privilege for the loading of registry hives.\r\n"
            L"Failed to load" + into + L" with error code ERROR_PRIVILEGE_NOT_HELD.\r\n");
  EXPECT_EQ(Ran(LoadHiveDirective, f, {L"COMPONENTS"}), L"Successfully loaded" + into + L".\r\n");
}

}  // namespace
}  // namespace corvex
