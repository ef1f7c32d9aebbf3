#include "fs/powercopy_check.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

std::vector<std::pair<std::wstring, std::wstring>> Pairs(const CheckedLines& c) {
  std::vector<std::pair<std::wstring, std::wstring>> out;
  for (const auto& l : c.lines) out.push_back({l.source, l.destination});
  return out;
}

// A line is blocked with its sentence or passes with its two paths.
TEST(PowerCopyCheck, BlockingRulesAndAcceptedLineForms) {
  // What the check gives: its report, or the two paths of a line that passed.
  struct Case {
    std::wstring line, outcome;
  };
  auto blocked = [](const std::wstring& line, const std::wstring& why, const std::wstring& shown = L"") {
    return Case{line, L"Line blocked (" + why + L"): " + (shown.empty() ? line : shown) + L".\r\n"};
  };
  auto passed = [](const std::wstring& line, const std::wstring& source, const std::wstring& destination) {
    return Case{line, source + L" > " + destination};
  };
  const std::wstring structure = L"invalid double quotation marks or line structure";
  const std::wstring colon = L"invalid colon position", dots = L"relative path components in destination";
  const std::vector<Case> cases = {
      blocked(L"C:\\a.dll C:\\b c.dll", L"invalid spacing"),
      // SFC text is caught before its brackets or quotes could be.
      blocked(L"Hashes for file member \\SystemRoot\\WinSxS\\x\\b.dll do not match actual file [l:10]\"b.dll\" :",
              L"SFC style line extension"),
      blocked(L"C:\\a?.dll C:\\b.dll", L"invalid characters"),
      blocked(L"C:/a.dll C:\\b.dll", L"invalid characters"),
      blocked(L"\"C:\\a|b.dll\" \"C:\\b.dll\"", L"invalid characters"),
      blocked(L"\"C:\\a.dll\"", structure),
      blocked(L"\" \" \"C:\\b.dll\"", structure),
      blocked(L"a.dll C:\\b.dll", colon),
      blocked(L"C:\\a.dll C:\\b.dll:stream", colon),
      blocked(L"\\\\?\\C:\\a.dll \\\\?\\b.dll", colon, L"C:\\a.dll b.dll"),
      blocked(L"C:\\a.dll C:\\Corvex\\..\\..\\b.dll", dots),
      blocked(L"\"C:\\a.dll\" \"C:\\x\\. \\b.dll\"", dots),
      blocked(L"\"C:\\a.dll\" \"C:\\x\\...\\b.dll\"", dots),
      passed(L"C:\\a.dll D:\\b.dll", L"C:\\a.dll", L"D:\\b.dll"),
      passed(L"\"C:\\a b.dll\"  C:\\x y\\b.dll", L"C:\\a b.dll", L"C:\\x y\\b.dll"),
      passed(L"\\\\?\\C:\\a.dll \\\\?\\C:\\b.dll", L"C:\\a.dll", L"C:\\b.dll"),
      passed(L"\\SystemRoot\\System32\\a.dll \\systemroot\\b.dll", L"C:\\Windows\\System32\\a.dll",
             L"C:\\Windows\\b.dll"),
      passed(L"C:\\a.dll C:\\x\\b..dll", L"C:\\a.dll", L"C:\\x\\b..dll"),
  };
  for (const auto& c : cases) {
    FakeSession f;
    std::wstring report;
    CheckedLines checked = CheckCopyLines(f.s, {c.line}, L"", report);
    EXPECT_TRUE(checked.ok);
    ASSERT_EQ(checked.lines.size(), report.empty() ? 1u : 0u) << c.line;
    EXPECT_EQ(report.empty() ? checked.lines[0].source + L" > " + checked.lines[0].destination : report, c.outcome);
  }
}

TEST(PowerCopyCheck, WalkLooksAgainAtTheIndexOfARemovedLine) {
  FakeSession f;
  std::wstring report;
  CheckedLines checked = CheckCopyLines(f.s,
                                        {L"C:\\x C:\\y C:\\z", L"C:\\a C:\\b", L"C:\\a? C:\\b", L"C:\\c C:\\d",
                                         L"\"C:\\Arc\\CORVEX.txt\" C:\\x.txt", L"C:\\e C:\\f"},
                                        L"C:\\Arc", report);
  EXPECT_EQ(Pairs(checked), (std::vector<std::pair<std::wstring, std::wstring>>{
                                {L"C:\\a", L"C:\\b"}, {L"C:\\c", L"C:\\d"}, {L"C:\\e", L"C:\\f"}}));
  EXPECT_EQ(report, L"Line blocked (invalid spacing): C:\\x C:\\y C:\\z.\r\n"
                    L"Line blocked (invalid characters): C:\\a? C:\\b.\r\n")
      << "the script itself is dropped without a sentence";
}

TEST(PowerCopyCheck, FolderLinesAddTheirFilesAtTheEndAndTheirMissingFolders) {
  FakeSession f;
  f.w.AddFile(L"C:\\Windows\\Src\\a.dll", "a");
  f.w.AddFile(L"C:\\Windows\\Src\\sub\\b.dll", "b");
  f.w.AddFolder(L"C:\\Windows\\Src\\empty");
  f.w.AddFolder(L"C:\\Dst\\present");
  f.w.AddFolder(L"C:\\Nothing");
  std::wstring report;
  CheckedLines checked = CheckCopyLines(f.s,
                                        {L"\\SystemRoot\\Src\\ C:\\Dst [dir]", L"C:\\one.dll C:\\Dst\\one.dll",
                                         L"C:\\Nothing C:\\Dst [DIR]", L"C:\\Windows\\Src C:\\Dst\\..\\Up [DIR]"},
                                        L"", report);
  EXPECT_EQ(Pairs(checked), (std::vector<std::pair<std::wstring, std::wstring>>{
                                {L"C:\\one.dll", L"C:\\Dst\\one.dll"},
                                {L"C:\\Windows\\Src\\a.dll", L"C:\\Dst\\a.dll"},
                                {L"C:\\Windows\\Src\\sub\\b.dll", L"C:\\Dst\\sub\\b.dll"}}));
  EXPECT_EQ(checked.folders, (Lines{L"C:\\Dst\\empty", L"C:\\Dst\\sub"}));
  EXPECT_EQ(checked.permissions, (Lines{L"C:\\Dst"}));
  EXPECT_FALSE(checked.ok) << "a folder line that finds nothing fails";
  EXPECT_EQ(report, L"Failed to find any content under directory \"C:\\Nothing\" in line \"C:\\Nothing C:\\Dst "
                    L"[DIR]\".\r\n"
                    L"Line blocked (relative path components in destination): C:\\Windows\\Src C:\\Dst\\..\\Up "
                    L"[DIR].\r\n");
}

TEST(PowerCopyCheck, DestinationsClassifiedOnceHardLinksTakenOnceAndWow64PathsMapped) {
  FakeSession f;
  auto& fs = f.w.platform().fs;
  f.w.AddFile(L"C:\\Windows\\System32\\one.dll", "1");
  ASSERT_TRUE(fs.AddHardLink(L"C:\\Windows\\WinSxS\\one.dll", L"C:\\Windows\\System32\\one.dll").ok());
  f.w.AddFile(L"C:\\Windows\\two.dll", "2");
  ASSERT_TRUE(fs.AddHardLink(L"C:\\Windows\\WinSxS\\two.dll", L"C:\\Windows\\two.dll").ok());
  f.w.InjectFault(fake::Op::kFileIdentity, L"WinSxS\\two.dll", 5, -1);
  std::wstring report;
  CheckedLines checked = CheckCopyLines(
      f.s,
      {L"C:\\s C:\\Windows\\System32\\one.dll", L"C:\\s C:\\Windows\\WinSxS\\one.dll",
       L"C:\\s C:\\Windows\\System32\\new\\deeper\\x.dll", L"C:\\s C:\\Windows\\System32\\new\\y.dll",
       L"C:\\s C:\\Windows\\two.dll", L"C:\\s C:\\Windows\\WinSxS\\two.dll", L"C:\\s C:\\top.dll"},
      L"", report);
  EXPECT_EQ(report, L"");
  EXPECT_EQ(checked.folders, (Lines{L"C:\\Windows\\System32\\new\\deeper", L"C:\\Windows\\System32\\new"}))
      << "the deepest missing folder of each line";
  EXPECT_EQ(checked.permissions, (Lines{L"C:\\Windows\\System32\\one.dll", L"C:\\Windows\\System32",
                                        L"C:\\Windows\\two.dll", L"C:\\Windows\\WinSxS\\two.dll"}))
      << "the second name of one.dll goes; a name that cannot be opened stays; a drive root is never taken";

  // Under WOW64 both paths are mapped, and shown in their System32 form.
  FakeSession g;
  g.w.wow64 = true;
  checked = CheckCopyLines(g.s, {L"\\SystemRoot\\System32\\a.dll C:\\Windows\\System32\\b.dll"}, L"", report);
  ASSERT_EQ(checked.lines.size(), 1u) << report;
  EXPECT_EQ(checked.lines[0].source, L"C:\\Windows\\Sysnative\\a.dll");
  EXPECT_EQ(checked.lines[0].destination, L"C:\\Windows\\Sysnative\\b.dll");
  EXPECT_EQ(ShownPath(g.s, L"\\\\?\\" + checked.lines[0].destination), L"C:\\Windows\\System32\\b.dll");
}

}  // namespace
}  // namespace corvex
