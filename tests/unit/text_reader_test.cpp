#include "core/text_reader.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "base/wildcard.h"
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

TEST(Text, Utf16RoundTripKeepsCharactersOutsideTheBasicPlane) {
  const std::wstring text = L"Caf\u00e9 \u4E2D";
  EXPECT_EQ(ToUtf16Le(L"x"), std::string("x\0", 2));
  // U+1F600 as a surrogate pair on the wire.
  std::string pair("\x3D\xD8\x00\xDE", 4);
  std::wstring decoded = FromUtf16Le(pair);
  EXPECT_EQ(ToUtf16Le(decoded), pair);
  EXPECT_EQ(ToUtf8(decoded), "\xF0\x9F\x98\x80");
  EXPECT_EQ(FromUtf16Le(ToUtf16Le(text)), text);
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
}

TEST(Text, IllFormedUtf8BecomesOneReplacementPerMaximalPart) {
  const std::wstring R(1, static_cast<wchar_t>(0xFFFD));
  struct Case {
    std::string bytes;
    std::wstring text;
  };
  const Case cases[] = {
      {"a\xC3", L"a" + R},                      // cut short at the end
      {"\xC3(", R + L"("},                      // broken by an ASCII byte, which is kept
      {"\xF5\x80\x80\x80", R + R + R + R},      // lead bytes from F5 on would pass U+10FFFF
      {"\xF4\x90\x80\x80", R + R + R + R},      // U+110000
      {"\xC1\xBF", R + R},                      // overlong forms
      {"\xE0\x80\xAF", R + R + R},
      {"\xF0\x8F\xBF\xBF", R + R + R + R},
      {"\xED\xA0\x80", R + R + R},               // a surrogate
      {"\xE2\x82", R},                           // one part, however long
      {"\xE2\x82(", R + L"("},
      {"\x80\xBF", R + R},                      // stray continuation bytes
  };
  for (const Case& c : cases) EXPECT_EQ(FromUtf8(c.bytes), c.text) << ::testing::PrintToString(c.bytes);
  // The edges that are well-formed stay what they are.
  EXPECT_EQ(FromUtf8("\xC2\x80\xED\x9F\xBF\xEE\x80\x80"), std::wstring(L"\u0080\uD7FF\uE000"));
  EXPECT_EQ(ToUtf8(FromUtf8("\xF4\x8F\xBF\xBF")), "\xF4\x8F\xBF\xBF") << "U+10FFFF";
  EXPECT_EQ(ToUtf8(FromUtf8("\xF0\x90\x80\x80")), "\xF0\x90\x80\x80") << "U+10000";
}

// Case-blind search, trimming and nonzero codes are exercised by the
// sentences of every directive; these edges are not.
TEST(Text, AllBlankTrimsToNothingAndZeroKeepsItsDigit) {
  EXPECT_EQ(Trim(L" \t\r\n"), L"");
  EXPECT_EQ(HexCode(0), L"0x0");
}

// Case and plain prefixes and suffixes are the file system contract's.
TEST(Wildcard, MatchesAsFindFirstFileDoes) {
  EXPECT_TRUE(WildcardMatch(L"*.*", L"DataBlocks"));
  EXPECT_TRUE(WildcardMatch(L"*.dll", L"ntdll.DLL"));
  EXPECT_FALSE(WildcardMatch(L"*.dll", L"ntdll.dll.bak"));
  EXPECT_TRUE(WildcardMatch(L"n?dll.*", L"ntdll"));
  EXPECT_TRUE(WildcardMatch(L"a*b*c", L"aXXbYYbZc"));
}

}  // namespace
}  // namespace corvex
