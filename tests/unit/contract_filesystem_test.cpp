// One set of expectations about the file system, run over the fake and, in
// the Windows build, over the real backend in a temporary folder: the fake
// must fail where Windows fails, with Windows' code, or the tests written
// against it prove nothing. ACLs and owners are the fake's alone (Wine
// keeps none); see security_fake_test.cpp and fake_filesystem_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/fake/fake_windows.h"
#include "platform/filesystem.h"
#include "test_support.h"
#ifdef _WIN32
#include "platform/win32/win32_backend.h"
#include "win32_test_support.h"
#endif

namespace corvex {
namespace {

namespace access = platform::access;
namespace share = platform::share;
using platform::Disposition;

struct FakeBackend {
  fake::FakeWindows w;
  std::wstring root = L"C:\\Users\\Tester\\AppData\\Local\\Temp\\contract";
  FakeBackend() { w.AddFolder(root); }
  platform::FileSystem& fs() { return w.platform().fs; }
  bool ready() const { return true; }
  bool wine() const { return false; }
  std::shared_ptr<void> Hold(const std::wstring& path, uint32_t wants, uint32_t shares) {
    return w.HoldOpen(path, wants, shares);
  }
};

#ifdef _WIN32
struct Win32Backend {
  win32::testing::TempFolder tmp;
  win32::Win32FileSystem real;
  std::wstring root = tmp.path();
  platform::FileSystem& fs() { return real; }
  bool ready() const { return tmp.ok(); }
  bool wine() const { return win32::testing::UnderWine(); }
  // A handle of "another process": CreateFileW with the same rights.
  std::shared_ptr<void> Hold(const std::wstring& path, uint32_t wants, uint32_t shares) {
    DWORD a = (wants & access::kRead ? GENERIC_READ : 0) | (wants & access::kWrite ? GENERIC_WRITE : 0) |
              (wants & access::kDelete ? DELETE : 0);
    DWORD s = (shares & share::kRead ? FILE_SHARE_READ : 0) | (shares & share::kWrite ? FILE_SHARE_WRITE : 0) |
              (shares & share::kDelete ? FILE_SHARE_DELETE : 0);
    HANDLE h = CreateFileW(path.c_str(), a ? a : FILE_READ_ATTRIBUTES, s, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::shared_ptr<void>(h, [](void* p) { CloseHandle(p); });
  }
};
#endif

template <class Backend>
class FileSystemContract : public ::testing::Test {
 public:
  void SetUp() override { ASSERT_TRUE(b.ready()); }
  std::wstring At(const std::wstring& leaf) const { return b.root + L"\\" + leaf; }
  platform::FileSystem& fs() { return b.fs(); }
  void Put(const std::wstring& leaf, const std::string& bytes) { ASSERT_TRUE(fs().WriteFile(At(leaf), bytes, false)); }
  std::string Read(const std::wstring& leaf) {
    auto r = fs().ReadFile(At(leaf));
    return r.ok() ? *r : "<" + std::to_string(r.code()) + ">";
  }
  std::vector<std::wstring> Names(const std::wstring& pattern) {
    std::vector<std::wstring> out;
    auto r = fs().Find(At(pattern));
    if (r.ok())
      for (auto& e : *r) out.push_back(e.name);
    return out;
  }
  Backend b;
};

#ifdef _WIN32
using Backends = ::testing::Types<FakeBackend, Win32Backend>;
#else
using Backends = ::testing::Types<FakeBackend>;
#endif
TYPED_TEST_SUITE(FileSystemContract, Backends);

TYPED_TEST(FileSystemContract, AMissingFileIs2AndAMissingFolderOnTheWayIs3) {
  auto& fs = this->fs();
  for (auto [leaf, code] : {std::pair{L"none.txt", 2u}, std::pair{L"nodir\\none.txt", 3u}}) {
    std::wstring p = this->At(leaf);
    SCOPED_TRACE(::testing::Message() << leaf);
    EXPECT_EQ(fs.ReadFile(p).code(), code);
    EXPECT_EQ(fs.GetAttributes(p).code(), code);
    EXPECT_EQ(fs.SetAttributes(p, platform::attr::kNormal).code(), code);
    EXPECT_EQ(fs.DeleteFile(p).code(), code);
    EXPECT_EQ(fs.RemoveFolder(p).code(), code);
    EXPECT_EQ(fs.CopyFile(p, this->At(L"copy.txt"), false).code(), code);
    EXPECT_EQ(fs.MoveFile(p, this->At(L"moved.txt"), true).code(), code);
    EXPECT_EQ(fs.Open(p, access::kRead, share::kAll, Disposition::kOpenExisting).code(), code);
  }
  EXPECT_EQ(fs.WriteFile(this->At(L"nodir\\new.txt"), "x", false).code(), 3u);
  EXPECT_EQ(fs.CreateFolder(this->At(L"nodir\\sub")).code(), 3u);
  EXPECT_EQ(fs.Find(this->At(L"nodir\\*")).code(), 3u);
  EXPECT_EQ(fs.Find(this->At(L"*.none")).code(), 2u);
  this->Put(L"a.txt", "a");
  EXPECT_EQ(fs.MoveFile(this->At(L"a.txt"), this->At(L"nodir\\a.txt"), true).code(), 3u);
  EXPECT_EQ(fs.CopyFile(this->At(L"a.txt"), this->At(L"nodir\\a.txt"), false).code(), 3u);
}

// Asked through a file, its folder answers; a path that leads nowhere fails
// rather than answering with some volume's figure.
TYPED_TEST(FileSystemContract, FreeSpaceIsAnsweredForWhatExistsOnTheVolume) {
  auto& fs = this->fs();
  this->Put(L"f.txt", "x");
  for (const std::wstring& p : {this->b.root, this->At(L"f.txt"), L"\\\\?\\" + this->b.root}) {
    auto free = fs.FreeBytesAvailable(p);
    ASSERT_TRUE(free.ok()) << free.code();
    EXPECT_GT(*free, 0u);
  }
  EXPECT_EQ(fs.FreeBytesAvailable(this->At(L"nodir\\deeper")).code(), 3u);
}

TYPED_TEST(FileSystemContract, WhatExistsIsNotMadeAgain) {
  auto& fs = this->fs();
  this->Put(L"a.txt", "a");
  this->Put(L"b.txt", "b");
  ASSERT_TRUE(fs.CreateFolder(this->At(L"dir")));
  EXPECT_EQ(fs.Open(this->At(L"a.txt"), access::kWrite, share::kNone, Disposition::kCreateNew).code(), 80u);
  EXPECT_EQ(fs.CopyFile(this->At(L"a.txt"), this->At(L"b.txt"), true).code(), 80u);
  EXPECT_EQ(fs.MoveFile(this->At(L"a.txt"), this->At(L"b.txt"), false).code(), 183u);
  EXPECT_EQ(fs.CreateFolder(this->At(L"dir")).code(), 183u);
  EXPECT_EQ(fs.CreateFolder(this->At(L"a.txt")).code(), 183u);
  EXPECT_EQ(this->Read(L"b.txt"), "b");
  EXPECT_EQ(this->Read(L"a.txt"), "a");
}

// Another process holds the file or folder open; which calls still get through.
TYPED_TEST(FileSystemContract, WhatIsHeldOpenElsewhereRefusesWhatItsSharingDenies) {
  struct Case {
    const char* what;
    uint32_t holderAccess, holderShare;
    std::function<uint32_t(FileSystemContract<TypeParam>&)> call;
    uint32_t code;
  };
  const uint32_t rw = access::kRead | access::kWrite;
  auto read = [](auto& t) { return t.fs().ReadFile(t.At(L"held.txt")).code(); };
  auto rewrite = [](auto& t) { return t.fs().WriteFile(t.At(L"held.txt"), "new", false).code(); };
  auto append = [](auto& t) { return t.fs().WriteFile(t.At(L"held.txt"), "+", true).code(); };
  auto remove = [](auto& t) { return t.fs().DeleteFile(t.At(L"held.txt")).code(); };
  auto moveAway = [](auto& t) { return t.fs().MoveFile(t.At(L"held.txt"), t.At(L"away.txt"), false).code(); };
  auto replace = [](auto& t) { return t.fs().MoveFile(t.At(L"other.txt"), t.At(L"held.txt"), true).code(); };
  auto copyFrom = [](auto& t) { return t.fs().CopyFile(t.At(L"held.txt"), t.At(L"copy.txt"), false).code(); };
  auto copyOnto = [](auto& t) { return t.fs().CopyFile(t.At(L"other.txt"), t.At(L"held.txt"), false).code(); };
  auto attributes = [](auto& t) { return t.fs().SetAttributes(t.At(L"held.txt"), platform::attr::kArchive).code(); };
  auto openRead = [](auto& t) {
    return t.fs().Open(t.At(L"held.txt"), access::kRead, share::kRead, Disposition::kOpenExisting).code();
  };
  const Case cases[] = {
      {"read, writer shares read", access::kWrite, share::kRead, read, 0},
      {"read, writer shares nothing", access::kWrite, share::kNone, read, 32},
      {"rewrite, reader shares read", access::kRead, share::kRead, rewrite, 32},
      {"rewrite, reader shares all", access::kRead, share::kAll, rewrite, 0},
      {"append, reader shares all", access::kRead, share::kAll, append, 0},
      {"open sharing read only, writer shares all", access::kWrite, share::kAll, openRead, 32},
      {"delete, reader shares read and write", access::kRead, share::kRead | share::kWrite, remove, 32},
      {"move away, reader shares read", access::kRead, share::kRead, moveAway, 32},
      {"move away, reader shares all", access::kRead, share::kAll, moveAway, 0},
      {"replace it, reader shares read", access::kRead, share::kRead, replace, 5},
      {"copy from it, writer shares read and write", access::kWrite, share::kRead | share::kWrite, copyFrom, 0},
      {"copy from it, reader shares nothing", access::kRead, share::kNone, copyFrom, 32},
      {"copy onto it, reader shares read", access::kRead, share::kRead, copyOnto, 32},
      {"attributes, nothing shared", rw, share::kNone, attributes, 0},
      {"attributes-only holder blocks nothing", 0, share::kNone, remove, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    this->Put(L"held.txt", "held");
    this->Put(L"other.txt", "other");
    this->fs().DeleteFile(this->At(L"away.txt"));
    this->fs().DeleteFile(this->At(L"copy.txt"));
    {
      auto holder = this->b.Hold(this->At(L"held.txt"), c.holderAccess, c.holderShare);
      ASSERT_TRUE(holder);
      EXPECT_EQ(c.call(*this), c.code);
    }
    // Whatever the holder kept out, the file is whole once it lets go.
    if (c.code != 0) {
      EXPECT_EQ(this->Read(L"held.txt"), "held");
    }
  }
  // Nor can a held folder be removed.
  ASSERT_TRUE(this->fs().CreateFolder(this->At(L"dir")));
  {
    auto holder = this->b.Hold(this->At(L"dir"), access::kRead, share::kRead | share::kWrite);
    ASSERT_TRUE(holder);
    EXPECT_EQ(this->fs().RemoveFolder(this->At(L"dir")).code(), 32u);
  }
  EXPECT_TRUE(this->fs().RemoveFolder(this->At(L"dir")));
}

TYPED_TEST(FileSystemContract, ReadOnlyFilesAndFoldersAndNonEmptyFolders) {
  auto& fs = this->fs();
  this->Put(L"ro.txt", "keep");
  this->Put(L"src.txt", "src");
  ASSERT_TRUE(fs.SetAttributes(this->At(L"ro.txt"), platform::attr::kReadOnly));
  EXPECT_EQ(fs.DeleteFile(this->At(L"ro.txt")).code(), 5u);
  // Wine, running as root, replaces and overwrites read-only files; Windows
  // refuses both.
  if (!this->b.wine()) {
    EXPECT_EQ(fs.MoveFile(this->At(L"src.txt"), this->At(L"ro.txt"), true).code(), 5u);
    EXPECT_EQ(fs.CopyFile(this->At(L"src.txt"), this->At(L"ro.txt"), false).code(), 5u);
    EXPECT_EQ(this->Read(L"ro.txt"), "keep");
  }
  // A read-only file can still be renamed, and keeps its attribute.
  ASSERT_TRUE(fs.MoveFile(this->At(L"ro.txt"), this->At(L"ro2.txt"), false));
  EXPECT_TRUE(fs.GetAttributes(this->At(L"ro2.txt")).value_or(0) & platform::attr::kReadOnly);

  ASSERT_TRUE(fs.CreateFolder(this->At(L"full")));
  this->Put(L"full\\f.txt", "f");
  EXPECT_EQ(fs.RemoveFolder(this->At(L"full")).code(), 145u);
  EXPECT_EQ(fs.RemoveFolder(this->At(L"src.txt")).code(), 267u);
  EXPECT_EQ(fs.DeleteFile(this->At(L"full")).code(), 5u);
  EXPECT_EQ(fs.Open(this->At(L"full"), access::kRead, share::kAll, Disposition::kOpenExisting).code(), 5u);
  EXPECT_EQ(this->Read(L"full"), "<5>");
}

TYPED_TEST(FileSystemContract, WritesTruncateOrAppendAndKeepEveryByte) {
  auto& fs = this->fs();
  const std::string bytes = testing::Noise(200 * 1024 + 17, 7);  // past one read chunk, NULs among it
  this->Put(L"data.bin", bytes);
  EXPECT_TRUE(this->Read(L"data.bin") == bytes);
  this->Put(L"log.txt", "first line that is long\r\n");
  this->Put(L"log.txt", "short\r\n");
  ASSERT_TRUE(fs.WriteFile(this->At(L"log.txt"), "more\r\n", true));
  EXPECT_EQ(this->Read(L"log.txt"), "short\r\nmore\r\n");
  // Appending to a missing file makes it; an empty write leaves an empty file.
  ASSERT_TRUE(fs.WriteFile(this->At(L"new.txt"), "x", true));
  EXPECT_EQ(this->Read(L"new.txt"), "x");
  this->Put(L"empty.txt", "");
  EXPECT_EQ(this->Read(L"empty.txt"), "");
  // A copy allowed to overwrite replaces the whole file.
  ASSERT_TRUE(fs.CopyFile(this->At(L"new.txt"), this->At(L"log.txt"), false));
  EXPECT_EQ(this->Read(L"log.txt"), "x");
}

// Wine, running as root, writes read-only and hidden files as any other.
TYPED_TEST(FileSystemContract, ReadOnlyFilesRefuseAppendsAndHiddenOnesRewrites) {
  namespace attr = platform::attr;
  auto& fs = this->fs();
  const std::wstring file = this->At(L"h.txt");
  this->Put(L"h.txt", "old");
  ASSERT_TRUE(fs.SetAttributes(file, attr::kReadOnly | attr::kHidden));
  const uint32_t set = fs.GetAttributes(file).value_or(0);
  EXPECT_EQ(set & (attr::kReadOnly | attr::kHidden | attr::kDirectory), attr::kReadOnly | attr::kHidden);
  if (!this->b.wine()) {
    EXPECT_EQ(fs.WriteFile(file, "new", true).code(), 5u);
    ASSERT_TRUE(fs.SetAttributes(file, attr::kHidden));
    EXPECT_EQ(fs.WriteFile(file, "new", false).code(), 5u);
    ASSERT_TRUE(fs.WriteFile(file, "+more", true));
    EXPECT_EQ(this->Read(L"h.txt"), "old+more");
  }
  ASSERT_TRUE(fs.SetAttributes(file, attr::kNormal));
  EXPECT_EQ(fs.GetAttributes(file).value_or(attr::kHidden) & (attr::kReadOnly | attr::kHidden), 0u);
}

TYPED_TEST(FileSystemContract, FindListsTheDotEntriesFirstWhenThePatternAdmitsThem) {
  ASSERT_TRUE(this->fs().CreateFolder(this->At(L"dir")));
  this->Put(L"dir\\a.txt", "a");
  this->Put(L"dir\\b.log", "b");
  auto all = this->Names(L"dir\\*");
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0], L".");
  EXPECT_EQ(all[1], L"..");
  std::sort(all.begin() + 2, all.end());
  EXPECT_EQ(all[2], L"a.txt");
  EXPECT_EQ(this->Names(L"dir\\*.txt"), std::vector<std::wstring>{L"a.txt"});
  EXPECT_EQ(this->Names(L"dir\\B.LOG"), std::vector<std::wstring>{L"b.log"});
  auto entries = this->fs().Find(this->At(L"dir\\*.log"));
  ASSERT_TRUE(entries.ok());
  EXPECT_EQ((*entries)[0].size, 1u);
  // '?' is one character, through the prefix too; folders are marked.
  this->Put(L"dir\\bb.txt", "bb");
  ASSERT_TRUE(this->fs().CreateFolder(this->At(L"dir\\sub")));
  entries = this->fs().Find(L"\\\\?\\" + this->At(L"dir\\?.txt"));
  ASSERT_TRUE(entries.ok()) << entries.code();
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].name, L"a.txt");
  entries = this->fs().Find(this->At(L"dir\\su*"));
  ASSERT_TRUE(entries.ok() && entries->size() == 1u);
  EXPECT_TRUE((*entries)[0].attributes & platform::attr::kDirectory);
}

TYPED_TEST(FileSystemContract, PrefixedPathsAreTakenLiterally) {
  auto& fs = this->fs();
  const std::wstring literal = L"\\\\?\\" + this->b.root;
  this->Put(L"a.txt", "a");
  ASSERT_TRUE(fs.CreateFolder(this->At(L"sub")));
  // Without the prefix Win32 resolves "..", "." and '/' and collapses "\\".
  EXPECT_EQ(this->Read(L"sub\\..\\a.txt"), "a");
  EXPECT_EQ(this->Read(L"sub/./..\\\\a.txt"), "a");
  // With it they are names, and no file may be called so.
  for (const wchar_t* odd : {L"\\sub\\..\\a.txt", L"\\.\\a.txt", L"\\sub/../a.txt"}) {
    SCOPED_TRACE(::testing::Message() << odd);
    auto r = fs.ReadFile(literal + odd);
    EXPECT_FALSE(r.ok());
    EXPECT_NE(r.code(), 0u);
  }
  auto dotted = fs.ReadFile(literal + L"\\sub\\..\\a.txt");
  if (!this->b.wine()) {
    EXPECT_EQ(dotted.code(), 123u);
  }
  ASSERT_TRUE(fs.WriteFile(literal + L"\\plain.txt", "p", false));
  EXPECT_EQ(this->Read(L"plain.txt"), "p");
}

TYPED_TEST(FileSystemContract, TrailingDotsAndSpacesLeaveTheLastNameUnlessPrefixed) {
  auto& fs = this->fs();
  ASSERT_TRUE(fs.WriteFile(this->At(L"name.txt. . "), "n", false));
  EXPECT_EQ(this->Names(L"name*"), std::vector<std::wstring>{L"name.txt"});
  EXPECT_EQ(this->Read(L"name.txt."), "n");
  if (this->b.wine()) return;  // Wine cannot keep a name with a trailing dot
  ASSERT_TRUE(fs.WriteFile(L"\\\\?\\" + this->At(L"dot."), "d", false));
  EXPECT_EQ(this->Names(L"dot*"), std::vector<std::wstring>{L"dot."});
  EXPECT_EQ(this->Read(L"dot."), "<2>");  // resolves to "dot"
  EXPECT_TRUE(fs.DeleteFile(L"\\\\?\\" + this->At(L"dot.")));
}

TYPED_TEST(FileSystemContract, MaxPathBindsOnlyUnprefixedPaths) {
  auto& fs = this->fs();
  // A folder name that brings the path to 250 characters, then a file name
  // that brings it past MAX_PATH. CreateDirectoryW keeps room for an 8.3
  // name below the folder (248). Wine has neither limit.
  const std::wstring deep = std::wstring(250 - this->b.root.size() - 1, L'd');
  const std::wstring file = deep + L"\\" + std::wstring(20, L'f');
  const std::wstring literal = L"\\\\?\\" + this->b.root + L"\\";
  if (!this->b.wine()) {
    EXPECT_EQ(fs.CreateFolder(this->At(deep)).code(), 206u);
  }
  ASSERT_TRUE(fs.CreateFolder(literal + deep));
  if (!this->b.wine()) {
    EXPECT_EQ(fs.WriteFile(this->At(file), "x", false).code(), 3u);
    EXPECT_EQ(fs.ReadFile(this->At(file)).code(), 3u);
  }
  ASSERT_TRUE(fs.WriteFile(literal + file, "long", false));
  EXPECT_EQ(fs.ReadFile(literal + file).value_or("<failed>"), "long");
  EXPECT_TRUE(fs.DeleteFile(literal + file));
  EXPECT_TRUE(fs.RemoveFolder(literal + deep));
}

TYPED_TEST(FileSystemContract, HandlesReadInRangesAndAppendAtTheEnd) {
  auto& fs = this->fs();
  {
    auto f = fs.Open(this->At(L"h.bin"), access::kRead | access::kWrite, share::kRead, Disposition::kCreateNew);
    ASSERT_TRUE(f.ok()) << f.code();
    ASSERT_TRUE((*f)->Append("0123"));
    ASSERT_TRUE((*f)->Append("4567"));
    ASSERT_TRUE((*f)->Flush());
    EXPECT_EQ((*f)->Size().value_or(0), 8u);
    EXPECT_EQ((*f)->ReadAt(6, 10).value_or("<failed>"), "67");
    EXPECT_EQ((*f)->ReadAt(8, 4).value_or("<failed>"), "");
    EXPECT_EQ((*f)->ReadAt(100, 4).value_or("<failed>"), "");
  }
  {
    auto ro = fs.Open(this->At(L"h.bin"), access::kRead, share::kAll, Disposition::kOpenExisting);
    ASSERT_TRUE(ro.ok());
    EXPECT_EQ((*ro)->Append("x").code(), 5u);
    // CreateAlways truncates; OpenAlways keeps.
    auto keep = fs.Open(this->At(L"h.bin"), access::kWrite, share::kAll, Disposition::kOpenAlways);
    ASSERT_TRUE(keep.ok());
    EXPECT_EQ((*ro)->Size().value_or(0), 8u);
  }
  ASSERT_TRUE(fs.Open(this->At(L"h.bin"), access::kWrite, share::kAll, Disposition::kCreateAlways).ok());
  EXPECT_EQ(this->Read(L"h.bin"), "");
}

TYPED_TEST(FileSystemContract, MovesReplaceOnlyFilesAndOnlyWhenAsked) {
  auto& fs = this->fs();
  this->Put(L"from.txt", "from");
  this->Put(L"to.txt", "to");
  ASSERT_TRUE(fs.CreateFolder(this->At(L"dir")));
  this->Put(L"dir\\inner.txt", "inner");
  EXPECT_EQ(fs.MoveFile(this->At(L"from.txt"), this->At(L"dir"), true).code(), 5u);
  // Wine lets a folder replace a file; Windows refuses to replace with or
  // over a folder.
  if (!this->b.wine()) {
    EXPECT_EQ(fs.MoveFile(this->At(L"dir"), this->At(L"to.txt"), true).code(), 5u);
  }
  ASSERT_TRUE(fs.MoveFile(this->At(L"from.txt"), this->At(L"to.txt"), true));
  EXPECT_EQ(this->Read(L"to.txt"), "from");
  EXPECT_EQ(this->Read(L"from.txt"), "<2>");
  // A change of case is a rename of the same file (Wine keeps the old case).
  ASSERT_TRUE(fs.MoveFile(this->At(L"to.txt"), this->At(L"TO.txt"), false));
  if (!this->b.wine()) {
    EXPECT_EQ(this->Names(L"to.*"), std::vector<std::wstring>{L"TO.txt"});
  }
  // A folder moves with what it holds, but not into itself.
  ASSERT_TRUE(fs.MoveFile(this->At(L"dir"), this->At(L"dir2"), false));
  EXPECT_EQ(this->Read(L"dir2\\inner.txt"), "inner");
  EXPECT_FALSE(fs.MoveFile(this->At(L"dir2"), this->At(L"dir2\\deeper"), false));
  EXPECT_EQ(this->Read(L"dir2\\inner.txt"), "inner");
}

TYPED_TEST(FileSystemContract, HardLinksShareDataAndIdentityAndALinkNeverReplacesAName) {
  auto& fs = this->fs();
  this->Put(L"a.txt", "one");
  this->Put(L"other.txt", "one");
  ASSERT_TRUE(fs.AddHardLink(this->At(L"b.txt"), this->At(L"a.txt")));
  ASSERT_TRUE(fs.WriteFile(this->At(L"b.txt"), "two", false));
  EXPECT_EQ(this->Read(L"a.txt"), "two");
  auto first = fs.Identity(this->At(L"a.txt")), second = fs.Identity(this->At(L"b.txt"));
  auto other = fs.Identity(this->At(L"other.txt"));
  ASSERT_TRUE(first.ok() && second.ok() && other.ok());
  EXPECT_TRUE(*first == *second);
  EXPECT_FALSE(*first == *other);
  EXPECT_EQ(fs.AddHardLink(this->At(L"other.txt"), this->At(L"a.txt")).code(), 183u);
  EXPECT_EQ(this->Read(L"other.txt"), "one");
  EXPECT_EQ(fs.AddHardLink(this->At(L"c.txt"), this->At(L"none.txt")).code(), 2u);
  EXPECT_EQ(fs.Identity(this->At(L"none.txt")).code(), 2u);
  // A file another process holds without sharing still answers.
  auto held = this->b.Hold(this->At(L"other.txt"), access::kRead | access::kWrite, share::kNone);
  ASSERT_TRUE(held);
  EXPECT_TRUE(fs.Identity(this->At(L"other.txt")).ok());
}

}  // namespace
}  // namespace corvex
