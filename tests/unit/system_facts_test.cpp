#include "core/system_facts.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

TEST(MapSystem32Path, OnlyUnderWow64AndOnlyExactCase) {
  EXPECT_EQ(MapSystem32Path(true, L"C:\\Windows\\System32\\ntdll.dll"), L"C:\\Windows\\Sysnative\\ntdll.dll");
  EXPECT_EQ(MapSystem32Path(false, L"C:\\Windows\\System32\\ntdll.dll"), L"C:\\Windows\\System32\\ntdll.dll");
  EXPECT_EQ(MapSystem32Path(true, L"C:\\Windows\\system32\\ntdll.dll"), L"C:\\Windows\\system32\\ntdll.dll");
  EXPECT_EQ(MapSystem32Path(true, L"\\\\?\\C:\\Windows\\System32\\a.dll"), L"\\\\?\\C:\\Windows\\Sysnative\\a.dll");
}

TEST(MapSystem32Path, ExemptFoldersStay) {
  for (auto sub : {L"catroot", L"catroot2", L"DriverStore", L"LogFiles", L"spool"}) {
    std::wstring path = std::wstring(L"C:\\Windows\\System32\\") + sub + L"\\x";
    EXPECT_EQ(MapSystem32Path(true, path), path);
  }
  EXPECT_EQ(MapSystem32Path(true, L"C:\\Windows\\System32\\drivers\\etc\\hosts"),
            L"C:\\Windows\\System32\\drivers\\etc\\hosts");
  EXPECT_EQ(MapSystem32Path(true, L"C:\\Windows\\System32\\drivers\\ntfs.sys"),
            L"C:\\Windows\\Sysnative\\drivers\\ntfs.sys");
}

TEST(MapSystem32Path, OnlyTheFirstPathOfALineAndDoubledBackslashesKept) {
  EXPECT_EQ(MapSystem32Path(true, L"C:\\a.dll C:\\Windows\\System32\\a.dll"),
            L"C:\\a.dll C:\\Windows\\System32\\a.dll");
  EXPECT_EQ(MapSystem32Path(true, L"C:\\Windows\\System32\\\\a.dll"), L"C:\\Windows\\Sysnative\\\\a.dll");
  EXPECT_EQ(MapSystem32Path(true, L"\\\\server\\share\\System32"), L"\\\\server\\share\\System32");
}

TEST(UnmapSystem32Path, TurnsSysnativeBack) {
  EXPECT_EQ(UnmapSystem32Path(L"C:\\Windows\\Sysnative\\a.dll"), L"C:\\Windows\\System32\\a.dll");
  EXPECT_EQ(UnmapSystem32Path(L"\\\\?\\C:\\Windows\\Sysnative\\a.dll"), L"\\\\?\\C:\\Windows\\Sysnative\\a.dll");
  EXPECT_EQ(UnmapSystem32Path(L"C:\\Windows"), L"C:\\Windows");
}

TEST(WindowsDisplayName, Windows10WithRingAndDeferral) {
  FakeSession f;
  EXPECT_EQ(WindowsDisplayName(f.s), L"Windows 10 Build 19045");
  f.w.SetMachineValue(L"SOFTWARE\\Microsoft\\WindowsSelfHost\\Applicability", L"Ring", L"WIF");
  f.w.SetMachineDword(L"SOFTWARE\\Microsoft\\WindowsUpdate\\UX\\Settings", L"DeferUpgrade", 1);
  f.w.version.productType = 3;
  EXPECT_EQ(WindowsDisplayName(f.s), L"Windows Server 10 Insider Fast, Build 19045 (Updates Deferred)");
  EXPECT_EQ(WindowsVersionString(f.s), L"10.0");
}

TEST(WindowsDisplayName, OlderVersionsFromTheRegistry) {
  FakeSession f;
  f.w.version = {6, 3, 9600, 0, 1};
  const std::wstring cv = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  EXPECT_EQ(WindowsDisplayName(f.s), L"Windows 8.1 ") << "no update package: a trailing space";
  f.w.AddMachineKey(
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\PackageIndex\\"
      L"Package_for_KB2919355~31bf3856ad364e35~amd64~~0.0.0.0");
  EXPECT_EQ(WindowsDisplayName(f.s), L"Windows 8.1 Update 1");
  f.w.version = {6, 1, 7601, 1, 1};
  f.w.SetMachineValue(cv, L"CurrentVersion", L"6.1");
  f.w.SetMachineValue(cv, L"CSDVersion", L"Service Pack 1");
  EXPECT_EQ(WindowsDisplayName(f.s), L"Windows 7 Service Pack 1");
  f.w.InjectFault(fake::Op::kRegistryRead, L"CurrentVersion", 5, 2);
  EXPECT_EQ(WindowsDisplayName(f.s), L"Windows FAILED");
}

TEST(SystemFacts, ArchitectureAndBuildBucket) {
  FakeSession f;
  EXPECT_EQ(ArchitectureName(f.s), L"amd64");
  EXPECT_EQ(ArchitectureName(f.s, true), L"x64");
  EXPECT_EQ(ArchitectureNameFor(10, false), L"wow64");
  EXPECT_EQ(ArchitectureNameFor(12, false), L"UNKNOWN");
  EXPECT_EQ(BuildBucket(f.s), L"10586");
  f.w.SetMachineValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentBuild", L"10240");
  EXPECT_EQ(BuildBucket(f.s), L"10240");
  f.w.SetMachineValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentBuild", L"9600");
  EXPECT_EQ(BuildBucket(f.s), L"0");
  f.w.version = {6, 4, 9841, 0, 1};
  EXPECT_TRUE(IsWindows10OrGreater(f.s));
  f.w.version = {5, 1, 2600, 3, 1};
  EXPECT_FALSE(IsWindowsVersionOrGreater(f.s, 6, 0));
}

}  // namespace
}  // namespace corvex
