// Wide-text helpers shared by every layer: trimming, case-insensitive search,
// and the byte encodings the program reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvex {

// White space as the C runtime's iswspace sees it for the texts we handle.
bool IsBlank(wchar_t c);
std::wstring Trim(const std::wstring& s);
std::wstring ToLower(std::wstring s);
std::wstring ToUpper(std::wstring s);
bool IEquals(const std::wstring& a, const std::wstring& b);
bool StartsWith(const std::wstring& s, const std::wstring& prefix);
bool IStartsWith(const std::wstring& s, const std::wstring& prefix);
bool EndsWith(const std::wstring& s, const std::wstring& suffix);
// Position of `needle` in `s` ignoring case, or npos.
size_t IFind(const std::wstring& s, const std::wstring& needle, size_t from = 0);
bool IContains(const std::wstring& s, const std::wstring& needle);
std::wstring ReplaceAll(std::wstring s, const std::wstring& from, const std::wstring& to);
// Splits at every occurrence of `sep`; keeps empty pieces.
std::vector<std::wstring> Split(const std::wstring& s, const std::wstring& sep);
std::wstring Join(const std::vector<std::wstring>& parts, const std::wstring& sep);

// Text from outside (a file, a reply) for a one-line sentence: control
// characters masked as "?", at most `maxLength` characters kept.
std::wstring MaskedForSentence(const std::wstring& text, size_t maxLength = 200);

std::wstring Decimal(uint64_t n);
std::wstring DecimalSigned(int64_t n);
// "0x%X": upper case, no leading zeros.
std::wstring HexCode(uint32_t n);

// Byte encodings. Wide text is UTF-16 on Windows and UTF-32 elsewhere; the
// encoders produce and accept surrogate pairs in the UTF-16 forms.
std::string ToUtf16Le(const std::wstring& s);
std::wstring FromUtf16Le(const std::string& bytes, size_t offset = 0);
std::wstring FromUtf16Be(const std::string& bytes, size_t offset = 0);
std::string ToUtf8(const std::wstring& s);
std::wstring FromUtf8(const std::string& bytes, size_t offset = 0);
// 8-bit text: each byte is the character with that code, and back again
// (characters above 0xFF become '?').
std::wstring FromLatin1(const std::string& bytes);
std::string ToLatin1(const std::wstring& s);

}  // namespace corvex
