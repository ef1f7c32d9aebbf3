#ifdef _WIN32

#include <gtest/gtest.h>

#include <map>

#include "platform/win32/win32_backend.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

using testing::RawRead;
using testing::RawWrite;
using testing::TempFolder;
using testing::UnderWine;
namespace attr = platform::attr;

// Missing paths, sharing, moves, copies and the prefix are the contract
// test's; these are what only the real calls can get wrong.
class Win32FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tmp.ok()); }
  TempFolder tmp;
  Win32FileSystem fs;
};

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return s;
}

TEST_F(Win32FileSystemTest, WriteThenReadKeepsEveryByteOfALargeBinaryFile) {
  // Larger than one read chunk and full of NULs.
  std::string bytes = Pattern(200 * 1024 + 17);
  ASSERT_TRUE(fs.WriteFile(tmp / L"data.bin", bytes, false).ok());
  EXPECT_EQ(RawRead(tmp / L"data.bin"), bytes);
  auto back = fs.ReadFile(tmp / L"data.bin");
  ASSERT_TRUE(back.ok()) << back.code();
  EXPECT_EQ(*back, bytes);
}

TEST_F(Win32FileSystemTest, WriteTruncatesAndAppendAddsToTheEnd) {
  std::wstring file = tmp / L"log.txt";
  ASSERT_TRUE(fs.WriteFile(file, "first line that is long\r\n", false).ok());
  ASSERT_TRUE(fs.WriteFile(file, "short\r\n", false).ok());
  EXPECT_EQ(RawRead(file), "short\r\n");
  ASSERT_TRUE(fs.WriteFile(file, "more\r\n", true).ok());
  EXPECT_EQ(RawRead(file), "short\r\nmore\r\n");
  // Appending to a missing file creates it.
  ASSERT_TRUE(fs.WriteFile(tmp / L"new.txt", "x", true).ok());
  EXPECT_EQ(RawRead(tmp / L"new.txt"), "x");
  // An empty write still leaves an empty file.
  ASSERT_TRUE(fs.WriteFile(tmp / L"empty.txt", "", false).ok());
  EXPECT_EQ(fs.ReadFile(tmp / L"empty.txt").value_or("<failed>"), "");
  // A copy allowed to overwrite replaces the whole file.
  ASSERT_TRUE(fs.CopyFile(tmp / L"new.txt", file, false).ok());
  EXPECT_EQ(RawRead(file), "x");
}

TEST_F(Win32FileSystemTest, AttributesAreSetAndReadOnlyFilesResistDeletion) {
  std::wstring file = tmp / L"ro.txt";
  ASSERT_TRUE(RawWrite(file, "keep"));
  ASSERT_TRUE(fs.SetAttributes(file, attr::kReadOnly | attr::kHidden).ok());
  auto a = fs.GetAttributes(file);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(*a & (attr::kReadOnly | attr::kHidden | attr::kDirectory), attr::kReadOnly | attr::kHidden);
  EXPECT_EQ(fs.DeleteFile(file).code(), 5u);
  if (!UnderWine()) {
    EXPECT_EQ(fs.WriteFile(file, "new", true).code(), 5u);
    EXPECT_EQ(RawRead(file), "keep");
  }
  ASSERT_TRUE(fs.SetAttributes(file, attr::kNormal).ok());
  a = fs.GetAttributes(file);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(*a & (attr::kReadOnly | attr::kHidden), 0u);
  ASSERT_TRUE(fs.DeleteFile(file).ok());
  EXPECT_EQ(fs.GetAttributes(file).code(), 2u);
  EXPECT_EQ(fs.SetAttributes(file, attr::kNormal).code(), 2u);
}

TEST_F(Win32FileSystemTest, HiddenFilesCannotBeRewrittenButCanBeAppendedTo) {
  if (UnderWine()) GTEST_SKIP() << "Wine overwrites hidden files";
  std::wstring file = tmp / L"hidden.txt";
  ASSERT_TRUE(RawWrite(file, "old"));
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(fs.WriteFile(file, "new", false).code(), 5u);
  EXPECT_EQ(RawRead(file), "old");
  ASSERT_TRUE(fs.WriteFile(file, "+more", true).ok());
  EXPECT_EQ(RawRead(file), "old+more");
}

TEST_F(Win32FileSystemTest, FindMatchesWildcardsThroughThePrefixAndMarksFolders) {
  ASSERT_TRUE(RawWrite(tmp / L"a.txt", "1"));
  ASSERT_TRUE(RawWrite(tmp / L"bb.txt", "22"));
  ASSERT_TRUE(CreateDirectoryW((tmp / L"sub").c_str(), nullptr));
  auto found = fs.Find(L"\\\\?\\" + tmp.path() + L"\\?.txt");
  ASSERT_TRUE(found.ok()) << found.code();
  std::map<std::wstring, uint64_t> sizes;
  for (auto& e : *found) sizes[e.name] = e.size;
  EXPECT_EQ(sizes, (std::map<std::wstring, uint64_t>{{L"a.txt", 1}}));
  auto sub = fs.Find(tmp / L"su*");
  ASSERT_TRUE(sub.ok());
  ASSERT_EQ(sub->size(), 1u);
  EXPECT_TRUE((*sub)[0].attributes & attr::kDirectory);
  EXPECT_TRUE(fs.GetAttributes(tmp / L"sub").value_or(0) & attr::kDirectory);
}

TEST_F(Win32FileSystemTest, FailuresKeepTheFailingCallsCodeAfterHandlesClose) {
  // The file exists but is locked against writers: CreateFile fails with a
  // sharing violation, and nothing closed afterwards may overwrite it.
  std::wstring file = tmp / L"locked.txt";
  ASSERT_TRUE(RawWrite(file, "x"));
  HANDLE lock = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fs.ReadFile(file).code(), 32u);
  EXPECT_EQ(fs.WriteFile(file, "y", true).code(), 32u);
  CloseHandle(lock);
  EXPECT_EQ(RawRead(file), "x");
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
