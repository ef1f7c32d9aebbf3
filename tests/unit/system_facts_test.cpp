#include "core/system_facts.h"

#include <gtest/gtest.h>

#include "base/path.h"
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

TEST(WindowsDisplayName, OlderVersionsFromTheRegistry) {
  FakeSession f;
  const std::wstring cv = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
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

TEST(LongPathPrefix, AddedAndStrippedForDriveAndUncPaths) {
  struct Case {
    const wchar_t* plain;
    const wchar_t* prefixed;
  };
  for (const Case& c : {Case{L"C:\\Windows\\a.dll", L"\\\\?\\C:\\Windows\\a.dll"},
                        Case{L"d:\\x", L"\\\\?\\d:\\x"},
                        Case{L"\\\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\a"}}) {
    EXPECT_EQ(AddLongPathPrefix(c.plain), c.prefixed);
    EXPECT_EQ(AddLongPathPrefix(c.prefixed), c.prefixed) << "never twice";
    EXPECT_EQ(StripLongPathPrefix(c.prefixed), c.plain);
    EXPECT_EQ(StripLongPathPrefix(c.plain), c.plain);
  }
  // The prefix would change what these name.
  for (const wchar_t* kept : {L"relative\\a.txt", L"\\\\.\\C:", L"C:a.txt", L""})
    EXPECT_EQ(AddLongPathPrefix(kept), kept);
}

TEST(MapSystem32, OnlyTheWindowsFolderAnyCase) {
  const std::wstring root = L"C:\\Windows";
  struct Case {
    const wchar_t* in;
    const wchar_t* out;
  };
  for (const Case& c : {
           Case{L"C:\\Windows\\System32\\ntdll.dll", L"C:\\Windows\\Sysnative\\ntdll.dll"},
           Case{L"C:\\WINDOWS\\SYSTEM32", L"C:\\WINDOWS\\Sysnative"},
           Case{L"\\\\?\\C:\\Windows\\System32\\a.dll", L"\\\\?\\C:\\Windows\\Sysnative\\a.dll"},
           Case{L"C:\\Windows\\System32\\\\a.dll", L"C:\\Windows\\Sysnative\\\\a.dll"},
           // Another folder called System32 is an ordinary folder.
           Case{L"D:\\Backup\\System32\\x", L"D:\\Backup\\System32\\x"},
           Case{L"D:\\Windows\\System32\\x", L"D:\\Windows\\System32\\x"},
           Case{L"C:\\Windows\\System32x\\a", L"C:\\Windows\\System32x\\a"},
           Case{L"C:\\\\Windows\\System32\\a", L"C:\\\\Windows\\System32\\a"},
           // Only the first path of a line.
           Case{L"C:\\a.dll C:\\Windows\\System32\\a.dll", L"C:\\a.dll C:\\Windows\\System32\\a.dll"},
           Case{L"C:\\Windows\\System32\\a.dll C:\\b", L"C:\\Windows\\Sysnative\\a.dll C:\\b"},
       })
    EXPECT_EQ(MapSystem32(c.in, root), c.out) << c.in;
  EXPECT_EQ(MapSystem32(L"D:\\WINNT\\system32\\a", L"D:\\WINNT\\"), L"D:\\WINNT\\Sysnative\\a");
  EXPECT_EQ(MapSystem32(L"C:\\Windows\\System32\\a", L""), L"C:\\Windows\\System32\\a") << "no Windows folder";
  EXPECT_EQ(MapSystem32(L"C:\\Windows\\System32\\a", L"%SystemRoot%"), L"C:\\Windows\\System32\\a");
}

TEST(MapSystem32, ExemptFoldersStayInAnyCase) {
  for (const wchar_t* sub : {L"catroot", L"catroot2", L"DriverStore", L"driverstore", L"LogFiles", L"SPOOL",
                             L"drivers\\etc", L"Drivers\\ETC"}) {
    std::wstring path = std::wstring(L"C:\\Windows\\System32\\") + sub + L"\\x";
    EXPECT_EQ(MapSystem32(path, L"C:\\Windows"), path);
  }
  EXPECT_EQ(MapSystem32(L"C:\\Windows\\System32\\drivers\\etcetera", L"C:\\Windows"),
            L"C:\\Windows\\Sysnative\\drivers\\etcetera");
}

TEST(UnmapSystem32, TurnsTheWindowsFolderAliasBack) {
  const std::wstring root = L"C:\\Windows";
  EXPECT_EQ(UnmapSystem32(L"c:\\windows\\sysnative", root), L"c:\\windows\\System32");
  EXPECT_EQ(UnmapSystem32(L"\\\\?\\C:\\Windows\\Sysnative\\a.dll", root), L"\\\\?\\C:\\Windows\\System32\\a.dll");
  EXPECT_EQ(UnmapSystem32(L"D:\\Backup\\Sysnative\\a.dll", root), L"D:\\Backup\\Sysnative\\a.dll");
  EXPECT_EQ(UnmapSystem32(L"C:\\Windows", root), L"C:\\Windows");
  for (const wchar_t* path : {L"C:\\Windows\\System32\\a.dll", L"C:\\Windows\\System32\\spool\\x"})
    EXPECT_EQ(UnmapSystem32(MapSystem32(path, root), root), path);
}

}  // namespace
}  // namespace corvex
