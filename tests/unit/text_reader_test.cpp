#include "core/text_reader.h"

#include <gtest/gtest.h>

#include "sample_files.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

const std::wstring kScript = L"PowerCopy::\r\nC:\\a.dll C:\\Windows\\System32\\a.dll\r\n\r\nDebug::";

TEST(ReadTextFile, EveryEncodingGivesTheSameScript) {
  FakeSession f;
  f.w.AddFile(L"C:\\s\\bom16.txt", testing::Utf16Bom(kScript));
  f.w.AddFile(L"C:\\s\\plain16.txt", ToUtf16Le(kScript));
  f.w.AddFile(L"C:\\s\\utf8.txt", "\xEF\xBB\xBF" + ToUtf8(kScript));
  f.w.AddFile(L"C:\\s\\ansi.txt", ToLatin1(kScript));
  std::string be = "\xFE\xFF";
  for (wchar_t c : kScript) be += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
  f.w.AddFile(L"C:\\s\\be16.txt", be);
  for (auto name : {L"bom16.txt", L"plain16.txt", L"utf8.txt", L"ansi.txt", L"be16.txt"})
    EXPECT_EQ(ReadTextFile(f.s, std::wstring(L"C:\\s\\") + name).value_or(L"?"), kScript) << name;
}

TEST(ReadTextFile, LineEndsBecomeCrLfAndEightBitKeepsByteValues) {
  EXPECT_EQ(DecodeText("a\nb\r\nc"), L"a\r\nb\r\nc");
  EXPECT_EQ(DecodeText("a\r\n\r\n\n"), L"a\r\n\r\n\r\n") << "line breaks at the end are kept";
  EXPECT_EQ(DecodeText("caf\xE9"), L"caf\u00e9");
  EXPECT_EQ(DecodeText("\xEF\xBB\xBF" "caf\xC3\xA9"), L"caf\u00e9");
  EXPECT_EQ(DecodeText(""), L"");
  // Without detection the caller's encoding is used whatever the bytes say.
  EXPECT_EQ(DecodeText(std::string("\xFF\xFEx\0", 4), TextDecoding::kUtf16), L"x");
  EXPECT_EQ(DecodeText(std::string("x\0", 2), TextDecoding::kUtf16), L"x");
  EXPECT_EQ(DecodeText(std::string("\xFF\xFEx\0", 4), TextDecoding::kEightBit), std::wstring(L"\u00ff\u00fex") + L'\0');
}

TEST(ReadTextFile, AFileThatCannotBeReadIsNotAnEmptyText) {
  FakeSession f;
  f.w.AddFile(L"C:\\Users\\Tester\\x.txt", "hi");
  EXPECT_EQ(ReadTextFile(f.s, L"%UserProfile%\\x.txt").value_or(L"?"), L"hi");
  f.w.AddFile(L"C:\\empty.txt", "");
  EXPECT_EQ(ReadTextFile(f.s, L"C:\\empty.txt").value_or(L"?"), L"");
  f.w.InjectFault(fake::Op::kReadFile, L"x.txt", 32);
  EXPECT_EQ(ReadTextFile(f.s, L"C:\\Users\\Tester\\x.txt").code(), 32u);
}

TEST(ReadTextFile, RegeditExportWrittenByWindows) {
  std::string bytes = ::ReadSample("windows/reg-export-hex2-usershellfolders.reg");
  ASSERT_FALSE(bytes.empty());
  std::wstring text = DecodeText(bytes);
  EXPECT_TRUE(StartsWith(text, L"Windows Registry Editor Version 5.00\r\n"));
  EXPECT_TRUE(testing::Holds(text, L"[HKEY_CURRENT_USER\\"));
  EXPECT_EQ(text.find(L'\xFEFF'), std::wstring::npos);
}

TEST(ReadTextFile, IcaclsSaveWithoutMarkIsDetectedAsUtf16) {
  std::string bytes = ::ReadSample("windows/icacls-save-windir-1.acl");
  ASSERT_FALSE(bytes.empty());
  std::wstring text = DecodeText(bytes);
  auto lines = Split(text, L"\r\n");
  ASSERT_GE(lines.size(), 28u);
  EXPECT_TRUE(StartsWith(lines[1], L"D:")) << lines[1];
}

}  // namespace
}  // namespace corvex
