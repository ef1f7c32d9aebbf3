#include "base/text.h"

#include <gtest/gtest.h>

#include "base/wildcard.h"

namespace corvex {
namespace {

TEST(Text, Utf16RoundTripKeepsCharactersOutsideTheBasicPlane) {
  std::wstring text = L"Caf\u00e9 ";
  text += static_cast<wchar_t>(0x4E2D);
  std::string bytes = ToUtf16Le(L"x");
  EXPECT_EQ(bytes, std::string("x\0", 2));
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

TEST(Text, CaseInsensitiveSearchAndTrim) {
  EXPECT_EQ(IFind(L"copy {archive}\\a.dll", L"{ARCHIVE}"), 5u);
  EXPECT_EQ(IFind(L"abc", L"abcd"), std::wstring::npos);
  EXPECT_EQ(Trim(L" \t x y \r\n"), L"x y");
  EXPECT_EQ(Trim(L" \t\r\n"), L"");
  EXPECT_EQ(HexCode(1450), L"0x5AA");
  EXPECT_EQ(HexCode(0), L"0x0");
  EXPECT_EQ(DecimalSigned(-12), L"-12");
}

TEST(Wildcard, MatchesAsFindFirstFileDoes) {
  EXPECT_TRUE(WildcardMatch(L"Reboot_*", L"Reboot_Neat_Log"));
  EXPECT_TRUE(WildcardMatch(L"reboot_*", L"REBOOT_Script"));
  EXPECT_FALSE(WildcardMatch(L"Reboot_*", L"DataBlocks"));
  EXPECT_TRUE(WildcardMatch(L"*.*", L"DataBlocks"));
  EXPECT_TRUE(WildcardMatch(L"*.dll", L"ntdll.DLL"));
  EXPECT_FALSE(WildcardMatch(L"*.dll", L"ntdll.dll.bak"));
  EXPECT_TRUE(WildcardMatch(L"n?dll.*", L"ntdll"));
  EXPECT_TRUE(WildcardMatch(L"a*b*c", L"aXXbYYbZc"));
}

}  // namespace
}  // namespace corvex
