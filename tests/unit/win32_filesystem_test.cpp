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
  auto empty = fs.ReadFile(tmp / L"empty.txt");
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(*empty, "");
}

TEST_F(Win32FileSystemTest, MissingFileIsError2AndMissingFolderIsError3) {
  EXPECT_EQ(fs.ReadFile(tmp / L"nothing.txt").code(), 2u);
  EXPECT_EQ(fs.ReadFile(tmp / L"nofolder\\nothing.txt").code(), 3u);
  EXPECT_EQ(fs.GetAttributes(tmp / L"nothing.txt").code(), 2u);
  EXPECT_EQ(fs.GetAttributes(tmp / L"nofolder\\nothing.txt").code(), 3u);
  EXPECT_EQ(fs.DeleteFile(tmp / L"nothing.txt").code(), 2u);
  EXPECT_EQ(fs.CopyFile(tmp / L"nothing.txt", tmp / L"copy.txt", false).code(), 2u);
  EXPECT_EQ(fs.MoveFile(tmp / L"nothing.txt", tmp / L"moved.txt", true).code(), 2u);
  EXPECT_EQ(fs.WriteFile(tmp / L"nofolder\\new.txt", "x", false).code(), 3u);
  EXPECT_EQ(RawRead(tmp / L"copy.txt"), "<missing>");
}

TEST_F(Win32FileSystemTest, FoldersAreCreatedOnceAndRemovedOnlyWhenEmpty) {
  std::wstring folder = tmp / L"sub";
  ASSERT_TRUE(fs.CreateFolder(folder).ok());
  EXPECT_EQ(fs.CreateFolder(folder).code(), 183u);
  EXPECT_EQ(fs.CreateFolder(tmp / L"missing\\child").code(), 3u);
  auto a = fs.GetAttributes(folder);
  ASSERT_TRUE(a.ok());
  EXPECT_TRUE(*a & attr::kDirectory);

  ASSERT_TRUE(RawWrite(folder + L"\\inside.txt", "x"));
  EXPECT_EQ(fs.RemoveFolder(folder).code(), 145u);
  ASSERT_TRUE(fs.DeleteFile(folder + L"\\inside.txt").ok());
  ASSERT_TRUE(fs.RemoveFolder(folder).ok());
  EXPECT_EQ(fs.GetAttributes(folder).code(), 2u);
}

TEST_F(Win32FileSystemTest, CopyFailsWith80WhenAskedNotToOverwrite) {
  ASSERT_TRUE(RawWrite(tmp / L"a.txt", "source"));
  ASSERT_TRUE(RawWrite(tmp / L"b.txt", "target"));
  EXPECT_EQ(fs.CopyFile(tmp / L"a.txt", tmp / L"b.txt", true).code(), 80u);
  EXPECT_EQ(RawRead(tmp / L"b.txt"), "target");
  ASSERT_TRUE(fs.CopyFile(tmp / L"a.txt", tmp / L"b.txt", false).ok());
  EXPECT_EQ(RawRead(tmp / L"b.txt"), "source");
  ASSERT_TRUE(fs.CopyFile(tmp / L"a.txt", tmp / L"c.txt", true).ok());
  EXPECT_EQ(RawRead(tmp / L"c.txt"), "source");
  EXPECT_EQ(RawRead(tmp / L"a.txt"), "source");
}

TEST_F(Win32FileSystemTest, MoveReplacesOnlyWhenAsked) {
  ASSERT_TRUE(RawWrite(tmp / L"from.txt", "moving"));
  ASSERT_TRUE(RawWrite(tmp / L"to.txt", "old"));
  EXPECT_EQ(fs.MoveFile(tmp / L"from.txt", tmp / L"to.txt", false).code(), 183u);
  EXPECT_EQ(RawRead(tmp / L"to.txt"), "old");
  ASSERT_TRUE(fs.MoveFile(tmp / L"from.txt", tmp / L"to.txt", true).ok());
  EXPECT_EQ(RawRead(tmp / L"to.txt"), "moving");
  EXPECT_EQ(RawRead(tmp / L"from.txt"), "<missing>");
  ASSERT_TRUE(fs.MoveFile(tmp / L"to.txt", tmp / L"fresh.txt", false).ok());
  EXPECT_EQ(RawRead(tmp / L"fresh.txt"), "moving");
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

TEST_F(Win32FileSystemTest, PathsWithTheLongPathPrefixWork) {
  std::wstring root = L"\\\\?\\" + tmp.path();
  ASSERT_TRUE(fs.CreateFolder(root + L"\\long").ok());
  ASSERT_TRUE(fs.WriteFile(root + L"\\long\\f.txt", "via prefix", false).ok());
  EXPECT_EQ(RawRead(tmp / L"long\\f.txt"), "via prefix");
  auto back = fs.ReadFile(root + L"\\long\\f.txt");
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, "via prefix");
  auto found = fs.Find(root + L"\\long\\*.txt");
  ASSERT_TRUE(found.ok()) << found.code();
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ((*found)[0].name, L"f.txt");
  ASSERT_TRUE(fs.DeleteFile(root + L"\\long\\f.txt").ok());
  ASSERT_TRUE(fs.RemoveFolder(root + L"\\long").ok());
}

TEST_F(Win32FileSystemTest, FindMatchesWildcardsAndReportsSizesAndDotEntries) {
  ASSERT_TRUE(RawWrite(tmp / L"a.txt", "1"));
  ASSERT_TRUE(RawWrite(tmp / L"bb.txt", "22"));
  ASSERT_TRUE(RawWrite(tmp / L"c.log", "333"));
  ASSERT_TRUE(CreateDirectoryW((tmp / L"sub").c_str(), nullptr));

  auto txt = fs.Find(tmp / L"*.txt");
  ASSERT_TRUE(txt.ok()) << txt.code();
  std::map<std::wstring, uint64_t> sizes;
  for (auto& e : *txt) sizes[e.name] = e.size;
  EXPECT_EQ(sizes, (std::map<std::wstring, uint64_t>{{L"a.txt", 1}, {L"bb.txt", 2}}));

  auto single = fs.Find(tmp / L"?.txt");
  ASSERT_TRUE(single.ok());
  std::vector<std::wstring> names;
  for (auto& e : *single) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"a.txt"}));

  auto all = fs.Find(tmp / L"*");
  ASSERT_TRUE(all.ok());
  std::map<std::wstring, uint32_t> attrs;
  for (auto& e : *all) attrs[e.name] = e.attributes;
  ASSERT_EQ(attrs.size(), 6u);
  EXPECT_TRUE(attrs.count(L"."));
  EXPECT_TRUE(attrs.count(L".."));
  EXPECT_TRUE(attrs[L"sub"] & attr::kDirectory);
  EXPECT_FALSE(attrs[L"c.log"] & attr::kDirectory);

  EXPECT_EQ(fs.Find(tmp / L"*.none").code(), 2u);
  EXPECT_EQ(fs.Find(tmp / L"missing\\*").code(), 3u);
}

TEST_F(Win32FileSystemTest, ReadSharesWithAWriterThatHasTheFileOpen) {
  std::wstring file = tmp / L"open.log";
  ASSERT_TRUE(RawWrite(file, "in use"));
  HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  auto back = fs.ReadFile(file);
  CloseHandle(writer);
  ASSERT_TRUE(back.ok()) << back.code();
  EXPECT_EQ(*back, "in use");
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
