#include "core/system_facts.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

TEST(MapSystem32Path, UnderWow64WithTheSessionsWindowsFolder) {
  FakeSession f;
  const std::wstring path = L"c:\\windows\\system32\\x.dll";
  EXPECT_EQ(MapSystem32Path(f.s, path), path) << "a 64-bit process sees the native folder";
  f.w.wow64 = true;
  EXPECT_EQ(MapSystem32Path(f.s, path), L"c:\\windows\\Sysnative\\x.dll");
  f.w.SetEnv(L"SystemRoot", L"D:\\WINNT");
  EXPECT_EQ(MapSystem32Path(f.s, path), path);
  EXPECT_EQ(MapSystem32Path(f.s, L"D:\\WINNT\\System32\\x"), L"D:\\WINNT\\Sysnative\\x");
  EXPECT_EQ(UnmapSystem32Path(f.s, L"d:\\winnt\\sysnative\\x"), L"d:\\winnt\\System32\\x");
  f.w.SetEnv(L"SystemRoot", L"");
  EXPECT_EQ(MapSystem32Path(f.s, L"C:\\Windows\\System32\\x"), L"C:\\Windows\\System32\\x")
      << "without a Windows folder nothing is redirected";
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

TEST(SystemFacts, ABuildThatCannotBeReadHasNoBucket) {
  FakeSession f;
  const std::wstring cv = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  f.w.InjectFault(fake::Op::kRegistryRead, cv, 5);
  EXPECT_EQ(BuildBucket(f.s), L"FAILED") << "not \"0\", which would say: older than Windows 10";
  for (const wchar_t* odd : {L"", L"10586a", L"99999999999999999999"}) {
    f.w.SetMachineValue(cv, L"CurrentBuild", odd);
    EXPECT_EQ(BuildBucket(f.s), L"FAILED") << odd;
  }
}

}  // namespace
}  // namespace corvex
