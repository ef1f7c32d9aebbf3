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
      {"mode 0", {L"C:\\A\\B\\C"}, L"Successfully created directory tree C:\\A\\B\\C.\r\n", true},
      {"mode 0, quoted, prefixed", {L"\"\\\\?\\C:\\Sp ace\\x\""}, L"Successfully created directory tree C:\\Sp ace\\x.\r\n", true},
      {"mode 1", {L"[MODE:1]", L"\\\\?\\C:\\Windows\\WinSxS\\x86_a"},
       L"FIXED: Successfully repaired missing store directory C:\\Windows\\WinSxS\\x86_a.\r\n", true},
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
    for (const wchar_t* made : {L"C:\\A\\B\\C", L"C:\\Sp ace\\x", L"C:\\Windows\\WinSxS\\x86_a", L"C:\\P\\Q", L"C:\\Next"}) {
      bool asked = false;
      for (const auto& l : r.lines) asked |= l.find(made) != std::wstring::npos;
      EXPECT_EQ(f.w.IsFolder(made), asked) << r.what << " " << made;
    }
  }
}

TEST(CreateHardlink, LinksAndRefusals) {
  const FileRow rows[] = {
      {"link", {L"C:\\d\\a.txt C:\\d\\b.txt"}, L"Successfully created hardlink from file C:\\d\\a.txt to C:\\d\\b.txt.\r\n", true},
      {"quoted with spaces", {L"\"C:\\d\\a.txt\" \"C:\\d\\new name.txt\""},
       L"Successfully created hardlink from file C:\\d\\a.txt to C:\\d\\new name.txt.\r\n", true},
      {"onto itself", {L"C:\\d\\a.txt c:\\D\\A.TXT"},
       L"Failed to create hardlink from file C:\\d\\a.txt to c:\\D\\A.TXT. A hardlink may not be created onto itself.\r\n",
       false},
      {"from a folder", {L"C:\\d C:\\e.txt"},
       L"Failed to create hardlink from file C:\\d to C:\\e.txt. Hardlinks may not be created on directories.\r\n", false},
      {"onto a folder", {L"C:\\d\\a.txt C:\\Windows"},
       L"Failed to create hardlink from file C:\\d\\a.txt to C:\\Windows. Hardlinks may not be created on directories.\r\n",
       false},
      {"name taken", {L"C:\\d\\a.txt C:\\Windows\\Notepad.exe"},
       L"Failed to create hardlink from file C:\\d\\a.txt to C:\\Windows\\Notepad.exe with error code "
       L"ERROR_ALREADY_EXISTS.\r\n",
       false},
      {"one path", {L"C:\\d\\a.txt"},
       L"Failed to create hardlink for line C:\\d\\a.txt. The line must hold an existing file and a new link name, "
       L"each in double quotes when it contains a space.\r\n",
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

TEST(CheckStoreFlags, AlwaysFailsWithAnEmptyReport) {
  FakeSession f;
  EXPECT_EQ(Ran(CheckStoreFlagsDirective, f, {L"anything"}, false), L"");
}

// What Delete:: leaves of a small tree.
struct DeleteCase {
  const char* what;
  std::wstring line;
  std::wstring report;
  bool ok;
  std::vector<std::wstring> gone, kept;
};

TEST(Delete, PatternsFoldersAndRefusals) {
  const std::wstring refused =
      L". A drive root or system folder may not be emptied, nor its contents deleted by wildcard.\r\n";
  const std::wstring notFull = L". A full path to a folder, or to a folder and a file pattern, is needed.\r\n";
  const DeleteCase cases[] = {
      {"folder emptied, kept", L"C:\\Temp\\x", L"Successfully deleted files matching pattern C:\\Temp\\x\\*.*.\r\n", true,
       {L"C:\\Temp\\x\\a.log", L"C:\\Temp\\x\\sub\\b.txt"}, {L"C:\\Temp\\x", L"C:\\Temp\\keep.txt"}},
      {"pattern", L"\"C:\\Temp\\x\\*.log\"", L"Successfully deleted files matching pattern C:\\Temp\\x\\*.log.\r\n", true,
       {L"C:\\Temp\\x\\a.log"}, {L"C:\\Temp\\x\\sub\\b.txt"}},
      {"nothing matched", L"C:\\Temp\\x\\*.none", L"WARNING: No files or folders matched deletion pattern C:\\Temp\\x\\*.none.\r\n",
       true, {}, {L"C:\\Temp\\x\\a.log"}},
      {"one system file by name", L"C:\\Windows\\System32\\bad.dll",
       L"Successfully deleted files matching pattern C:\\Windows\\System32\\bad.dll.\r\n", true,
       {L"C:\\Windows\\System32\\bad.dll"}, {L"C:\\Windows\\System32\\good.dll"}},
      {"drive root", L"C:\\", L"Failed to delete files matching pattern C:\\*.*" + refused, false, {}, {L"C:\\Temp\\keep.txt"}},
      {"drive root by wildcard", L"C:\\W*", L"Failed to delete files matching pattern C:\\W*" + refused, false, {},
       {L"C:\\Windows\\Notepad.exe"}},
      {"Windows folder", L"c:\\windows\\", L"Failed to delete files matching pattern c:\\windows\\*.*" + refused, false, {},
       {L"C:\\Windows\\Notepad.exe"}},
      {"System32 by wildcard", L"C:\\Windows\\System32\\*.dll",
       L"Failed to delete files matching pattern C:\\Windows\\System32\\*.dll" + refused, false, {},
       {L"C:\\Windows\\System32\\good.dll"}},
      {"above the profile", L"C:\\Users", L"Failed to delete files matching pattern C:\\Users\\*.*" + refused, false, {},
       {L"C:\\Users\\Tester\\doc.txt"}},
      {"climbing", L"C:\\Temp\\..\\Windows", L"Failed to delete files matching pattern C:\\Temp\\..\\Windows" + notFull,
       false, {}, {L"C:\\Windows\\Notepad.exe"}},
      {"relative", L"Windows\\*.*", L"Failed to delete files matching pattern Windows\\*.*" + notFull, false, {}, {}},
      {"only quotes", L"\"\"", L"Failed to delete files matching pattern " + notFull, false, {}, {}},
      {"no pattern", L"C:\\Nowhere\\", L"Failed to delete files matching pattern C:\\Nowhere\\. The path names no file pattern.\r\n",
       false, {}, {}},
      {"a file held open", L"C:\\Temp\\x",
       L"Failed to delete all files and folders matching pattern C:\\Temp\\x\\*.* with result code 1.\r\n", false,
       {L"C:\\Temp\\x\\sub\\b.txt"}, {L"C:\\Temp\\x\\a.log"}},
  };
  for (const DeleteCase& c : cases) {
    FakeSession f;
    for (const wchar_t* p : {L"C:\\Temp\\x\\a.log", L"C:\\Temp\\x\\sub\\b.txt", L"C:\\Temp\\keep.txt",
                             L"C:\\Windows\\System32\\bad.dll", L"C:\\Windows\\System32\\good.dll",
                             L"C:\\Users\\Tester\\doc.txt"})
      f.w.AddFile(p, "x");
    auto held = f.w.HoldOpen(L"C:\\Temp\\x\\a.log", platform::access::kRead,
                             std::string(c.what) == "a file held open" ? platform::share::kRead : platform::share::kAll);
    EXPECT_EQ(Ran(DeleteDirective, f, {c.line}, c.ok), c.report) << c.what;
    for (auto& p : c.gone) EXPECT_FALSE(f.w.Exists(p)) << c.what << " " << p;
    for (auto& p : c.kept) EXPECT_TRUE(f.w.Exists(p)) << c.what << " " << p;
  }
}

TEST(Delete, JunctionIsRemovedAsALinkNotEmptied) {
  FakeSession f;
  f.w.AddFile(L"C:\\Temp\\x\\a.log", "x");
  // A junction that leads elsewhere: what shows through it is not ours.
  f.w.AddFile(L"C:\\Temp\\x\\link\\target.sys", "x");
  f.w.MutableNode(L"C:\\Temp\\x\\link")->attributes = 0x410;
  Ran(DeleteDirective, f, {L"C:\\Temp\\x"}, false);
  EXPECT_FALSE(f.w.Exists(L"C:\\Temp\\x\\a.log"));
  EXPECT_TRUE(f.w.Exists(L"C:\\Temp\\x\\link\\target.sys"));
  f.w.AddFolder(L"C:\\Temp\\y\\empty-link");
  f.w.MutableNode(L"C:\\Temp\\y\\empty-link")->attributes = 0x410;
  Ran(DeleteDirective, f, {L"C:\\Temp\\y\\*"});
  EXPECT_FALSE(f.w.Exists(L"C:\\Temp\\y\\empty-link"));
}

}  // namespace
}  // namespace corvex
