#include "base/path.h"

#include <gtest/gtest.h>

namespace corvex {
namespace {

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
           Case{L"C:\\Windows\\System32\\drivers\\ntfs.sys", L"C:\\Windows\\Sysnative\\drivers\\ntfs.sys"},
           // Another folder called System32 is an ordinary folder.
           Case{L"D:\\Backup\\System32\\x", L"D:\\Backup\\System32\\x"},
           Case{L"D:\\Windows\\System32\\x", L"D:\\Windows\\System32\\x"},
           Case{L"C:\\Windows\\System32x\\a", L"C:\\Windows\\System32x\\a"},
           Case{L"C:\\Windows\\SysWOW64\\a", L"C:\\Windows\\SysWOW64\\a"},
           Case{L"C:\\\\Windows\\System32\\a", L"C:\\\\Windows\\System32\\a"},
           Case{L"\\\\server\\share\\System32", L"\\\\server\\share\\System32"},
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
