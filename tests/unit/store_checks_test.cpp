#include "analysis/store_checks.h"

#include <gtest/gtest.h>

#include "analysis/store_names.h"
#include "component_store_fixture.h"
#include "sample_files.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::StoreBuilder;
using testing::StoreComponent;

using Store = testing::StoreSession;

TEST(StoreNames, RealFolderNamesAndWhatNeverBecomesAPath) {
  size_t names = 0;
  for (auto& line : Split(FromUtf8(ReadSample("windows/store-folder-names-dotdot.txt")), L"\n")) {
    if (Trim(line).empty()) continue;
    ++names;
    EXPECT_TRUE(IsStoreName(Trim(line))) << ToUtf8(line);
  }
  EXPECT_EQ(names, 120u);
  for (const wchar_t* bad : {L"..", L"", L"amd64_foo_31bf3856ad364e35_1.0.0.0_none", L"amd64_foo_31bf3856ad364e3_1.0.0.0_none_0123456789abcdef",
                             L"amd64_foo_31bf3856ad364e35_1.0.0_none_0123456789abcdef",
                             L"amd64_..\\..\\System32_31bf3856ad364e35_1.0.0.0_none_0123456789abcdef",
                             L"amd64_foo:bar_31bf3856ad364e35_1.0.0.0_none_0123456789abcdef",
                             L".amd64_foo_31bf3856ad364e35_1.0.0.0_none_0123456789abcdef"})
    EXPECT_FALSE(IsStoreName(bad)) << ToUtf8(bad);
  EXPECT_TRUE(IsStoreName(L"amd64_dual_netbc63a.inf_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef"));
  StoreNameParts p;
  ASSERT_TRUE(SplitStoreName(L"amd64_dual_netbc63a.inf_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef", p));
  EXPECT_EQ(p.name, L"dual_netbc63a.inf");
  EXPECT_TRUE(MatchesShortened(L"microsoft-windows-c...appxmain.resources", L"Microsoft-Windows-Cortana.appxmain.resources"));
  EXPECT_FALSE(MatchesShortened(L"microsoft-windows-c...appxmain.resources", L"Microsoft-Windows-Cortana-appxmain.resources"));
  EXPECT_FALSE(MatchesShortened(L"ab..ba", L"aba")) << "head and tail may not overlap";
}

TEST(StoreNames, IdentitiesMatchWholeAttributes) {
  const std::wstring id = L"Foo, Culture=neutral, Version=6.1.7601.1, PublicKeyToken=31bf3856ad364e35, "
                          L"ProcessorArchitecture=amd64, versionScope=NonSxS";
  const struct {
    std::wstring name, version, arch, culture;
    bool match;
  } rows[] = {
      {L"Foo", L"6.1.7601.1", L"amd64", L"neutral", true},  {L"FOO", L"6.1.7601.1", L"AMD64", L"", true},
      {L"Fo", L"6.1.7601.1", L"amd64", L"neutral", false},  {L"Foo", L"6.1.7601.10", L"amd64", L"neutral", false},
      {L"Foo", L"6.1.7601", L"amd64", L"neutral", false},   {L"Foo", L"6.1.7601.1", L"amd", L"neutral", false},
      {L"Foo", L"6.1.7601.1", L"amd64", L"en-US", false},
  };
  for (auto& r : rows)
    EXPECT_EQ(IdentityDescribes(id, r.name, r.version, r.arch, r.culture, L"31bf3856ad364e35"), r.match)
        << ToUtf8(r.name + L" " + r.version + L" " + r.arch + L" " + r.culture);
}

TEST(FindMissingStoreDirectories, OnlyKeysOwningFilesAndAFailedSearchIsNotExamined) {
  Store f;
  StoreComponent present, missing, deployment, denied;
  missing.hash = L"1111111111111111";
  deployment.hash = L"2222222222222222";
  denied.hash = L"3333333333333333";
  f.store.Add(present, {{L"a.dll"}});
  f.store.AddKey(missing.KeyName(), missing.Identity(), true);
  f.store.AddKey(deployment.KeyName(), deployment.Identity(), false);
  f.store.Add(denied, {{L"a.dll"}});
  f.store.AddKey(L"amd64_f\xF6o_31bf3856ad364e35_1.0.0.0_none_4444444444444444", L"", true);
  f.store.AddKey(L"not a store name", L"", true);
  f.w.InjectFault(Op::kGetAttributes, denied.KeyName(), platform::err::kAccessDenied, -1);
  std::wstring log;
  MissingStoreDirectories found = FindMissingStoreDirectories(f.s, log);
  EXPECT_EQ(found.returnCode, 0);
  EXPECT_EQ(found.paths, std::vector<std::wstring>{L"C:\\Windows\\winsxs\\" + missing.KeyName()});
  EXPECT_EQ(log, L"WARNING: Unicode Registry Corruption Detected: HKEY_LOCAL_MACHINE\\COMPONENTS\\DerivedData\\"
                 L"Components\\amd64_f\xF6o_31bf3856ad364e35_1.0.0.0_none_4444444444444444\n");
  EXPECT_EQ(f.s.analysis.notExamined.size(), 1u) << "the directory that could not be looked at";

  // Without a COMPONENTS key the search itself fails, and is told.
  testing::FakeSession bare;
  found = FindMissingStoreDirectories(bare.s, log);
  EXPECT_NE(found.returnCode, 0);
  EXPECT_EQ(found.errorCode, platform::err::kFileNotFound);
  EXPECT_EQ(bare.s.analysis.notExamined.size(), 1u);
}

TEST(TestComponentsHive, Warnings) {
  const std::wstring size = L"\r\nWARNING: Components hive failed size test and may be corrupt.\r\n\r\n";
  const std::wstring load = L"\r\nWARNING: Components hive failed load test and may be corrupt.\r\n\r\n";
  const std::wstring exists = L"\r\nWARNING: Components hive failed existence test and may be corrupt.\r\n\r\n";
  const struct {
    const char* what;
    size_t bytes;  // 0: no hive file
    bool held, garbage, wow64;
    std::wstring log;
    bool reloaded;
  } rows[] = {
      {"exactly 6 MiB", 0x600000, false, false, false, L"", true},
      {"one byte less", 0x5FFFFF, false, false, false, size, true},
      {"held by another process", 100, true, false, false, L"", true},
      {"missing", 0, false, false, false, exists, false},
      {"not a hive", 100, false, true, false,
       size + load + L"\r\nWARNING: Components hive failed final reload test with error code ERROR_BADDB and may be "
                     L"corrupt.\r\n\r\n",
       false},
      {"the native hive under WOW64", 0x600000, false, false, true, L"", true},
  };
  for (auto& r : rows) {
    testing::FakeSession f;
    f.w.wow64 = r.wow64;
    const std::wstring file = r.wow64 ? L"C:\\Windows\\Sysnative\\config\\COMPONENTS" : testing::kHiveFile;
    if (r.wow64) f.w.AddFile(testing::kHiveFile, "small");  // what the 32-bit view would show
    if (r.bytes) {
      std::string bytes = StoreBuilder::HiveFileBytes(r.bytes);
      if (r.garbage) bytes.replace(0, 5, "REGF!");
      f.w.AddFile(file, bytes);
    }
    auto held = r.held ? f.w.HoldOpen(file, platform::access::kRead, platform::share::kRead) : nullptr;
    std::wstring log;
    TestComponentsHive(f.s, log);
    EXPECT_EQ(log, r.log) << r.what;
    EXPECT_EQ(f.w.registry().loadedHives.count(L"COMPONENTS"), r.reloaded ? 1u : 0u) << r.what;
  }
}

struct Crossed : testing::FakeSession {
  const std::wstring resource = L"C:\\Windows\\Sysnative\\en-US\\iassdo.dll.mui";
  const std::wstring resource32 = L"C:\\Windows\\SysWOW64\\en-US\\iassdo.dll.mui";
  const std::wstring peacock = L"C:\\Program Files\\Common Files\\Microsoft Shared\\Stationery\\Pretty_Peacock.jpg";
  const std::wstring store64 = L"C:\\Windows\\winsxs\\amd64_microsoft-windows-n..ce_iassdo.resources_31bf3856ad364e35_6.1.7600.16385_en-us_448b1c3c529ce8ed\\iassdo.dll.mui";
  const std::wstring store32 = L"C:\\Windows\\winsxs\\x86_microsoft-windows-n..ce_iassdo.resources_31bf3856ad364e35_6.1.7600.16385_en-us_e86c80b89a3f77b7\\iassdo.dll.mui";
  std::vector<std::wstring> directives;
  Crossed(const std::string& resourceBytes) {
    w.wow64 = true;
    w.SetEnv(L"ProgramW6432", L"C:\\Program Files");
    w.AddFile(resource, resourceBytes);
    w.AddFile(resource32, "jpeg");
    w.AddFile(peacock, "jpeg");
    w.AddFile(store64, "mui64");
    w.AddFile(store32, "mui32");
    s.runDirective = [this](const std::wstring& name, Lines, const std::wstring&, std::wstring& report) {
      directives.push_back(name);
      report = name == L"RestorePermissions::" ? L"restored" : L"";
      return true;
    };
  }
};

TEST(RepairCrossedHardlink, RebuildsBothLanguageResources) {
  Crossed f("jpeg");
  std::wstring log;
  RepairCrossedHardlink(f.s, log);
  EXPECT_EQ(log, L"\r\nDetected crossed hardlink in iassdo.dll.mui/Pretty_Peacock.jpg. Initiating repair.\r\n\r\n"
                 L"\r\nSuccessfully deleted hardlink C:\\Windows\\System32\\en-US\\iassdo.dll.mui.\r\n"
                 L"Successfully deleted hardlink C:\\Windows\\SysWOW64\\en-US\\iassdo.dll.mui.\r\n"
                 L"Successfully rebuilt hardlink C:\\Windows\\System32\\en-US\\iassdo.dll.mui from file " + f.store64 +
                 L".\r\nSuccessfully rebuilt hardlink C:\\Windows\\SysWOW64\\en-US\\iassdo.dll.mui from file " +
                 f.store32 + L".\r\nrestored\n\r\nSuccessfully repaired crossed hardlink.\r\n\r\n");
  EXPECT_EQ(f.w.FileBytes(f.resource), "mui64");
  EXPECT_EQ(f.w.FileBytes(f.resource32), "mui32");
  EXPECT_EQ(f.w.FileBytes(f.peacock), "jpeg");
  EXPECT_EQ(f.directives, (std::vector<std::wstring>{L"TakePermissions::", L"RestorePermissions::"}));
  EXPECT_EQ(f.s.analysis.counters.cbsDetected, 1u);
  EXPECT_EQ(f.s.analysis.counters.cbsFixed, 1u);
}

TEST(RepairCrossedHardlink, AFailedCopyLosesNothingAndDifferentFilesAreLeftAlone) {
  {
    Crossed f("jpeg");
    f.w.InjectFault(Op::kCopyFile, L"amd64_microsoft-windows-n..ce", platform::err::kAccessDenied);
    std::wstring log;
    RepairCrossedHardlink(f.s, log);
    EXPECT_TRUE(
        testing::Holds(log, L"Failed to rebuild hardlink C:\\Windows\\System32\\en-US\\iassdo.dll.mui from file " +
                                f.store64 + L" with error code ERROR_ACCESS_DENIED.\r\n"));
    EXPECT_TRUE(testing::Holds(log, L"\r\nFailed to repair crossed hardlink.\r\n\r\n"));
    EXPECT_EQ(f.w.FileBytes(f.resource), "jpeg") << "the old name keeps its data";
    EXPECT_EQ(f.s.analysis.counters.cbsDetected, 1u);
    EXPECT_EQ(f.s.analysis.counters.cbsFixed, 0u);
  }
  Crossed f("mui");
  std::wstring log;
  RepairCrossedHardlink(f.s, log);
  EXPECT_EQ(log, L"");
  EXPECT_TRUE(f.directives.empty());
  EXPECT_EQ(f.s.analysis.counters.cbsDetected, 0u);
}

}  // namespace
}  // namespace corvex
