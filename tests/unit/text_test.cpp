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

TEST(Text, MalformedUtf8BecomesReplacementCharacters) {
  std::wstring decoded = FromUtf8(std::string("a\xC3", 2));
  ASSERT_EQ(decoded.size(), 2u);
  EXPECT_EQ(decoded[0], L'a');
  EXPECT_EQ(decoded[1], static_cast<wchar_t>(0xFFFD));
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
