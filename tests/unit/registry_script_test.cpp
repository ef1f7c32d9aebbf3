// RegistryScript:: block by block against the fake registry and its reg.exe,
// and registry-file text as the dispatcher hands it over.
#include "registry/registry_script.h"

#include <gtest/gtest.h>

#include "app/directive_table.h"
#include "core/datablock_store.h"
#include "platform/fake/fake_registry.h"
#include "script/dispatcher.h"
#include "security_test_support.h"

namespace corvex {
namespace {

using fake::Op;
using namespace testing;

const std::wstring kTest = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";

std::wstring Took(const std::wstring& key) {
  return L"Successfully took ownership and permissions for registry key " + key + L".";
}
std::wstring RestoredKey(const std::wstring& key) {
  return L"Successfully restored ownership and permissions for registry key " + key + L".";
}
const auto Script = RegistryScriptDirective;

TEST(RegistryScript, BlocksImportWithBackupsAndGiveEveryKeyBackItsSecurity) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.Protect(kTest);
  reg.SetString(kTest + L"\\Old", L"gone", L"soon");
  reg.Protect(kTest + L"\\Old");
  const std::wstring original = reg.SecurityOf(kTest);
  // The sentences of the import and the deletion: the end-to-end case
  // registry_export_script_and_permissions_with_backups.
  const std::wstring report =
      Ran(Script, f,
          {L"Windows Registry Editor Version 5.00", L"[HKLM\\SOFTWARE\\Test\\New\\Deep]", L"\"a\"=\"1\"",
           L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]", L"\"v\"=dword:2", L"[-HKLM\\SOFTWARE\\Test\\Old]"});
  EXPECT_TRUE(testing::Holds(report, Took(kTest + L"\\Old") + L"\r\n")) << "a key to delete is opened first";
  EXPECT_EQ(reg.Value(kTest + L"\\New\\Deep", L"a")->data, Sz(L"1"));
  EXPECT_NE(reg.Value(kTest, L"v"), nullptr);
  EXPECT_FALSE(reg.KeyExists(kTest + L"\\Old"));
  // Keys the import made have the security of the key they were made in.
  for (auto& key : {kTest, kTest + L"\\New", kTest + L"\\New\\Deep"}) {
    EXPECT_EQ(reg.SecurityOf(key), original) << key;
    EXPECT_EQ(FindRegistryDataBlock(f.s, key), original) << key;
  }
  EXPECT_NE(FindRegistryDataBlock(f.s, kTest + L"\\Old"), L"") << "the deleted key's record stays";
  EXPECT_EQ(reg.OpenKeys(), 0u);
  EXPECT_TRUE(PrivilegesBackOff(f));
}

TEST(RegistryScript, RootsThatHoldHivesGetNoNewTopLevelKey) {
  FakeSession f;
  EXPECT_EQ(Ran(Script, f, {L"[HKEY_LOCAL_MACHINE\\NewTop]", L"\"x\"=\"y\"", L"[-HKU\\Nope\\Sub]"}, false),
            L"\r\n\r\nFailed to import registry key HKEY_LOCAL_MACHINE\\NewTop. A root key cannot be "
            L"created under this hive.\r\nFailed to delete registry key HKEY_USERS\\Nope\\Sub. A root key "
            L"cannot be created under this hive.\r\n\r\n");
  EXPECT_TRUE(f.w.registry().regCommands.empty());

  // Under another root the root key itself is opened up and put back.
  const std::wstring before = f.w.registry().SecurityOf(L"HKCU");
  const std::wstring report = Ran(Script, f, {L"[HKEY_CURRENT_USER\\A/B]", L"\"x\"=\"y\""});
  EXPECT_TRUE(f.w.registry().KeyExists(L"HKCU\\A\\B"));
  EXPECT_TRUE(testing::Holds(report, RestoredKey(L"HKEY_CURRENT_USER\\A")));
  EXPECT_EQ(f.w.registry().SecurityOf(L"HKCU"), before);
  EXPECT_EQ(f.w.registry().SecurityOf(L"HKCU\\A\\B"), before);
}

TEST(RegistryScript, NoImportWithoutItsBackup) {
  FakeSession f;
  f.w.registry().SetString(kTest, L"x", L"old");
  f.w.InjectFault(Op::kWriteFile, L"Export0.datablocks", 5);
  const std::wstring report = Ran(Script, f, {L"[HKLM\\SOFTWARE\\Test]", L"\"x\"=\"new\""}, false);
  EXPECT_TRUE(
      testing::Holds(report, L"Failed to create backup for registry key " + kTest + L". The key was not imported."));
  for (auto& c : f.w.registry().regCommands) EXPECT_FALSE(StartsWith(c, L" IMPORT ")) << ToUtf8(c);
  EXPECT_EQ(f.w.registry().Value(kTest, L"x")->data, Sz(L"old"));
  EXPECT_TRUE(testing::Holds(report, RestoredKey(kTest))) << "what was opened up is closed again";
}

TEST(RegistryScript, QuietModeImportsWithoutBackupsOrPermissionLinesItsFailuresAndTheDebugSwitch) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.AddKey(kTest);
  EXPECT_EQ(Ran(Script, f, {L"[MODE:1]", L"[HKLM\\SOFTWARE\\Test]", L"\"x\"=\"y\""}),
            L"\r\n\r\nSuccessfully imported registry key " + kTest + L".\r\n\r\n");
  EXPECT_FALSE(f.w.Exists(L"C:\\Corvex"));
  EXPECT_EQ(reg.regCommands.size(), 1u);
  // reg.exe refuses a value line it cannot read with exit code 1.
  EXPECT_EQ(Ran(Script, f, {L"[MODE:1]", L"[HKLM\\SOFTWARE\\Test]", L"\"x\"=bogus"}, false),
            L"\r\n\r\nFailed to import registry key " + kTest + L".\r\n\r\n");
  f.w.InjectFault(Op::kRunProcess, L"reg.exe", 2);
  EXPECT_EQ(Ran(Script, f, {L"[MODE:1]", L"[-HKLM\\SOFTWARE\\Test]"}, false),
            L"\r\n\r\nFailed to delete registry key " + kTest + L" with error code ERROR_FILE_NOT_FOUND.\r\n\r\n");
  f.s.skipMask |= skip::kRegistryImport;
  Ran(Script, f, {L"[MODE:1]", L"[-HKLM\\SOFTWARE\\Test]"});
  EXPECT_TRUE(reg.KeyExists(kTest)) << "nothing was run";
}

TEST(RegistryScript, AStringLeftOpenStillEndsItsBlock) {
  FakeSession f;
  f.w.registry().Protect(kTest);
  const std::wstring before = f.w.registry().SecurityOf(kTest);
  const std::wstring report = Ran(Script, f, {L"[HKLM\\SOFTWARE\\Test\\New]", L"@=dword\":1", L"[]"}, false);
  EXPECT_TRUE(testing::Holds(report, L"Failed to import registry key " + kTest + L"\\New."));
  EXPECT_EQ(f.w.registry().SecurityOf(kTest), before);
}

TEST(RegistryScript, SplitHexDataIsMarkedAndComponentsLoadsOnce) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.AddKey(L"HKCU\\Software");
  Ran(Script, f, {L"[MODE:1]", L"REGEDIT4", L"[HKCU\\Software\\C]", L"\"h\"=hex:01,", L"02"});
  EXPECT_EQ(f.Utf16File(L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\Temp\\RegistryScript"),
            L"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\C]\r\n\"h\"=hex:01,\\\r\n02");
  EXPECT_EQ(reg.Value(L"HKCU\\Software\\C", L"h")->data, std::string("\x01\x02"));

  const std::wstring report =
      Ran(Script, f, {L"[MODE:1]", L"[HKLM\\COMPONENTS\\A]", L"[-HKEY_LOCAL_MACHINE\\COMPONENTS\\B]"}, false);
  EXPECT_EQ(Count(report, L"Failed to load registry hive file C:\\Windows\\System32\\config\\COMPONENTS. File not "
                          L"found."),
            1u)
      << report;
}

TEST(RegistryScript, RegistryTextReachesItThroughTheDispatcherAsWritten) {
  FakeSession f;
  f.w.registry().AddKey(L"HKCU\\Software");
  const std::wstring script =
      L"RegistryScript::\r\n[MODE:1]\r\n[HKCU/Software\\M]\r\n\"a\"=\"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}\"\r\n"
      L"\"p\"=\"C:/x/%windir%\"\r\n\"h\"=hex:01,\\\r\n  3a,3a\r\n\"m\"=\"one\r\n  Delete:: two \r\n\"\r\n"
      L"::\r\nWindows Registry Editor Version 5.00\r\n[HKCU\\Software\\N]\r\n\"b\"=\"x::y\"\r\n";
  EXPECT_EQ(Dispatch(f.s, ProgramDirectives(), script, L""), RunResult::kSucceeded) << f.s.log;
  auto& reg = f.w.registry();
  const std::wstring m = L"HKCU\\Software\\M";
  ASSERT_NE(reg.Value(m, L"h"), nullptr) << f.s.log;
  EXPECT_EQ(reg.Value(m, L"h")->data, "\x01::");
  EXPECT_EQ(reg.Value(m, L"m")->data, Sz(L"one\r\n  Delete:: two \r\n"));
  ASSERT_NE(reg.Value(L"HKCU\\Software\\N", L"b"), nullptr) << f.s.log;
  EXPECT_TRUE(testing::Holds(f.s.log, L"Successfully imported registry key HKEY_CURRENT_USER\\Software\\N."));
}

}  // namespace
}  // namespace corvex
