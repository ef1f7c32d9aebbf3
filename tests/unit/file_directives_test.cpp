#include "fs/file_directives.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;

struct FileRow {
  const char* what;
  Lines lines;
  std::wstring report;
  bool ok;
};

TEST(CreateDirectory, ModesAndTheirSentences) {
  const std::wstring sub = L"C:\\File\\sub";
  const FileRow rows[] = {
      {"mode 0, quoted, prefixed", {L"\"\\\\?\\C:\\Sp ace\\x\""}, L"Successfully created directory tree C:\\Sp ace\\x.\r\n", true},
      {"mode 2", {L"[MODE:2]", L"C:\\P\\Q"}, L"", true},
      {"mode 1 failure", {L"[MODE:1]", sub},
       L"FAILED: Could not repair missing store directory " + sub + L" with error code ERROR_FILE_EXISTS.\r\n", false},
      {"mode 2 failure", {L"[MODE:2]", L"C:\\Denied\\x"},
       L"Failed to create directory tree C:\\Denied\\x with error code ERROR_ACCESS_DENIED.\r\n", false},
      {"quote inside", {L"C:\\a\"b"}, L"Failed to create directory tree C:\\a\"b as a path may not contain a double quote.\r\n", false},
      {"blank", {L"[MODE:2]", L"  "}, L"Failed to create directory tree  as the line names no folder.\r\n", false},
      {"a failure does not stop the rest", {sub, L"C:\\Next"},
       L"Failed to create directory tree " + sub + L" with error code ERROR_FILE_EXISTS.\r\n"
       L"Successfully created directory tree C:\\Next.\r\n", false},
  };
  for (const FileRow& r : rows) {
    FakeSession f;
    f.w.AddFile(L"C:\\File", "x");
    f.w.InjectFault(Op::kCreateFolder, L"Denied", 5, -1);
    EXPECT_EQ(Ran(CreateDirectoryDirective, f, r.lines, r.ok), r.report) << r.what;
    for (const wchar_t* made : {L"C:\\Sp ace\\x", L"C:\\P\\Q", L"C:\\Next"}) {
      bool asked = false;
      for (const auto& l : r.lines) asked |= l.find(made) != std::wstring::npos;
      EXPECT_EQ(f.w.IsFolder(made), asked) << r.what << " " << made;
    }
  }
}

TEST(CreateHardlink, LinksAndRefusals) {
  const FileRow rows[] = {
      {"quoted with spaces", {L"\"C:\\d\\a.txt\" \"C:\\d\\new name.txt\""},
       L"Successfully created hardlink from file C:\\d\\a.txt to C:\\d\\new name.txt.\r\n", true},
      {"from a folder", {L"C:\\d C:\\e.txt"},
       L"Failed to create hardlink from file C:\\d to C:\\e.txt. Hardlinks may not be created on directories.\r\n",
       false},
      {"name taken", {L"C:\\d\\a.txt C:\\Windows\\Notepad.exe"},
       L"Failed to create hardlink from file C:\\d\\a.txt to C:\\Windows\\Notepad.exe with error code "
       L"ERROR_ALREADY_EXISTS.\r\n",
       false},
      {"unquoted space", {L"C:\\d\\a.txt C:\\new name.txt"},
       L"Failed to create hardlink for line C:\\d\\a.txt C:\\new name.txt. The line must hold an existing file and a "
       L"new link name, each in double quotes when it contains a space.\r\n",
       false},
  };
  for (const FileRow& r : rows) {
    FakeSession f;
    f.w.AddFile(L"C:\\d\\a.txt", "data");
    EXPECT_EQ(Ran(CreateHardlinkDirective, f, r.lines, r.ok), r.report) << r.what;
    auto links = f.w.platform().security.HardLinksOfPath(L"C:\\d\\a.txt");
    ASSERT_TRUE(links.ok());
    EXPECT_EQ(links->linkCount, r.ok ? 2u : 1u) << r.what;
  }
}

// What Delete:: leaves of a small tree.
struct DeleteCase {
  const char* what;
  std::wstring line;
  std::wstring report;
  bool ok;
  std::vector<std::wstring> gone, kept;
};

TEST(Delete, PatternsFoldersJunctionsAndRefusals) {
  auto failed = [](const std::wstring& pattern, const std::wstring& why) {
    return L"Failed to delete files matching pattern " + pattern + why;
  };
  const std::wstring refused =
      L". A drive root or system folder may not be emptied, nor its contents deleted by wildcard.\r\n";
  const std::wstring notFull = L". A full path to a folder, or to a folder and a file pattern, is needed.\r\n";
  const std::wstring notepad = L"C:\\Windows\\Notepad.exe";
  const DeleteCase cases[] = {
      {"drive root by wildcard", L"C:\\W*", failed(L"C:\\W*", refused), false, {}, {notepad}},
      {"above the profile", L"C:\\Users", failed(L"C:\\Users\\*.*", refused), false, {},
       {L"C:\\Users\\Tester\\doc.txt"}},
      {"climbing", L"C:\\Temp\\..\\Windows", failed(L"C:\\Temp\\..\\Windows", notFull), false, {}, {notepad}},
      {"relative", L"Windows\\*.*", failed(L"Windows\\*.*", notFull), false, {}, {}},
      {"only quotes", L"\"\"", failed(L"", notFull), false, {}, {}},
      {"no pattern", L"C:\\Nowhere\\", failed(L"C:\\Nowhere\\", L". The path names no file pattern.\r\n"), false,
       {}, {}},
      {"a file held open", L"C:\\Temp\\x",
       L"Failed to delete all files and folders matching pattern C:\\Temp\\x\\*.* with result code 1.\r\n", false,
       {L"C:\\Temp\\x\\sub\\b.txt"}, {L"C:\\Temp\\x\\a.log"}},
  };
  for (const DeleteCase& c : cases) {
    FakeSession f;
    for (const wchar_t* p : {L"C:\\Temp\\x\\a.log", L"C:\\Temp\\x\\sub\\b.txt", L"C:\\Users\\Tester\\doc.txt"})
      f.w.AddFile(p, "x");
    auto held = f.w.HoldOpen(L"C:\\Temp\\x\\a.log", platform::access::kRead,
                             std::string(c.what) == "a file held open" ? platform::share::kRead : platform::share::kAll);
    EXPECT_EQ(Ran(DeleteDirective, f, {c.line}, c.ok), c.report) << c.what;
    for (auto& p : c.gone) EXPECT_FALSE(f.w.Exists(p)) << c.what << " " << p;
    for (auto& p : c.kept) EXPECT_TRUE(f.w.Exists(p)) << c.what << " " << p;
  }

  // A junction is removed as a link, not emptied: what shows through it,
  // leading elsewhere, is not ours.
  FakeSession g;
  g.w.AddFile(L"C:\\Temp\\x\\a.log", "x");
  g.w.AddFile(L"C:\\Temp\\x\\link\\target.sys", "x");
  g.w.MutableNode(L"C:\\Temp\\x\\link")->attributes = 0x410;
  Ran(DeleteDirective, g, {L"C:\\Temp\\x"}, false);
  EXPECT_FALSE(g.w.Exists(L"C:\\Temp\\x\\a.log"));
  EXPECT_TRUE(g.w.Exists(L"C:\\Temp\\x\\link\\target.sys"));
  g.w.AddFolder(L"C:\\Temp\\y\\empty-link");
  g.w.MutableNode(L"C:\\Temp\\y\\empty-link")->attributes = 0x410;
  Ran(DeleteDirective, g, {L"C:\\Temp\\y\\*"});
  EXPECT_FALSE(g.w.Exists(L"C:\\Temp\\y\\empty-link"));
}

}  // namespace
}  // namespace corvex
