#include "base/text.h"

#include <algorithm>
#include <cwctype>

namespace corvex {

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

std::wstring Trim(const std::wstring& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

static wchar_t Lower(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return c + 32;
  if (c < 0x80) return c;
  return static_cast<wchar_t>(std::towlower(c));
}

static wchar_t Upper(wchar_t c) {
  if (c >= L'a' && c <= L'z') return c - 32;
  if (c < 0x80) return c;
  return static_cast<wchar_t>(std::towupper(c));
}

std::wstring ToLower(std::wstring s) {
  for (auto& c : s) c = Lower(c);
  return s;
}

std::wstring ToUpper(std::wstring s) {
  for (auto& c : s) c = Upper(c);
  return s;
}

bool IEquals(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool StartsWith(const std::wstring& s, const std::wstring& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0 && s.size() >= prefix.size();
}

bool IStartsWith(const std::wstring& s, const std::wstring& prefix) {
  return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
}

bool EndsWith(const std::wstring& s, const std::wstring& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

size_t IFind(const std::wstring& s, const std::wstring& needle, size_t from) {
  if (needle.empty()) return from <= s.size() ? from : std::wstring::npos;
  if (s.size() < needle.size()) return std::wstring::npos;
  for (size_t i = from; i + needle.size() <= s.size(); ++i) {
    size_t j = 0;
    while (j < needle.size() && Lower(s[i + j]) == Lower(needle[j])) ++j;
    if (j == needle.size()) return i;
  }
  return std::wstring::npos;
}

bool IContains(const std::wstring& s, const std::wstring& needle) {
  return IFind(s, needle) != std::wstring::npos;
}

std::wstring ReplaceAll(std::wstring s, const std::wstring& from, const std::wstring& to) {
  if (from.empty()) return s;
  // Built afresh rather than replaced in place, so that a long line with
  // many occurrences costs time in proportion to its length.
  size_t pos = s.find(from);
  if (pos == std::wstring::npos) return s;
  std::wstring out;
  out.reserve(s.size());
  size_t start = 0;
  for (; pos != std::wstring::npos; pos = s.find(from, start)) {
    out.append(s, start, pos - start);
    out += to;
    start = pos + from.size();
  }
  out.append(s, start, std::wstring::npos);
  return out;
}

std::vector<std::wstring> Split(const std::wstring& s, const std::wstring& sep) {
  std::vector<std::wstring> out;
  size_t start = 0;
  while (true) {
    size_t pos = s.find(sep, start);
    if (pos == std::wstring::npos) {
      out.push_back(s.substr(start));
      return out;
    }
    out.push_back(s.substr(start, pos - start));
    start = pos + sep.size();
  }
}

std::wstring Join(const std::vector<std::wstring>& parts, const std::wstring& sep) {
  std::wstring out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += sep;
    out += parts[i];
  }
  return out;
}

std::wstring Decimal(uint64_t n) {
  std::wstring out;
  do {
    out.insert(out.begin(), static_cast<wchar_t>(L'0' + n % 10));
    n /= 10;
  } while (n);
  return out;
}

std::wstring DecimalSigned(int64_t n) {
  if (n < 0) return L"-" + Decimal(static_cast<uint64_t>(-(n + 1)) + 1);
  return Decimal(static_cast<uint64_t>(n));
}

std::wstring HexCode(uint32_t n) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring out;
  do {
    out.insert(out.begin(), kDigits[n & 0xF]);
    n >>= 4;
  } while (n);
  return L"0x" + out;
}

// Code points of a wide string, joining surrogate pairs where wchar_t is 16 bits.
template <class F>
static void ForEachCodePoint(const std::wstring& s, F&& f) {
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = static_cast<uint32_t>(s[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size()) {
      uint32_t d = static_cast<uint32_t>(s[i + 1]);
      if (d >= 0xDC00 && d <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
        ++i;
      }
    }
    f(c);
  }
}

static void AppendCodePoint(std::wstring& out, uint32_t c) {
  if (c > 0xFFFF && sizeof(wchar_t) == 2) {
    c -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<wchar_t>(c));
  }
}

std::string ToUtf16Le(const std::wstring& s) {
  std::string out;
  out.reserve(s.size() * 2);
  auto unit = [&](uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>((u >> 8) & 0xFF));
  };
  ForEachCodePoint(s, [&](uint32_t c) {
    if (c > 0xFFFF) {
      c -= 0x10000;
      unit(0xD800 + (c >> 10));
      unit(0xDC00 + (c & 0x3FF));
    } else {
      unit(c);
    }
  });
  return out;
}

static std::wstring FromUtf16(const std::string& b, size_t offset, bool little) {
  std::wstring out;
  out.reserve((b.size() - std::min(offset, b.size())) / 2);
  auto unit = [&](size_t i) -> uint32_t {
    uint32_t lo = static_cast<uint8_t>(b[i]), hi = static_cast<uint8_t>(b[i + 1]);
    return little ? (lo | (hi << 8)) : ((lo << 8) | hi);
  };
  for (size_t i = offset; i + 1 < b.size(); i += 2) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < b.size()) {
      uint32_t d = unit(i + 2);
      if (d >= 0xDC00 && d <= 0xDFFF) {
        AppendCodePoint(out, 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00));
        i += 2;
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

std::wstring FromUtf16Le(const std::string& bytes, size_t offset) { return FromUtf16(bytes, offset, true); }
std::wstring FromUtf16Be(const std::string& bytes, size_t offset) { return FromUtf16(bytes, offset, false); }

std::string ToUtf8(const std::wstring& s) {
  std::string out;
  out.reserve(s.size());
  ForEachCodePoint(s, [&](uint32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  });
  return out;
}

// Well-formed UTF-8 as the Unicode standard's table 3-7 has it: the range
// of the byte after each lead rules out overlong forms, surrogates and code
// points above U+10FFFF. Every maximal ill-formed part becomes one U+FFFD,
// and decoding resumes at the byte that broke the sequence.
std::wstring FromUtf8(const std::string& b, size_t offset) {
  std::wstring out;
  out.reserve(b.size() - std::min(offset, b.size()));
  size_t i = offset;
  while (i < b.size()) {
    const uint8_t c = static_cast<uint8_t>(b[i]);
    if (c < 0x80) {
      out.push_back(static_cast<wchar_t>(c));
      ++i;
      continue;
    }
    int extra = 0;
    uint8_t low = 0x80, high = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      out.push_back(static_cast<wchar_t>(0xFFFD));  // C0, C1, F5-FF, or a stray continuation byte
      ++i;
      continue;
    }
    uint32_t cp = c & (0x3F >> extra);
    size_t j = i + 1;
    int taken = 0;
    for (; taken < extra && j < b.size(); ++taken, ++j) {
      const uint8_t n = static_cast<uint8_t>(b[j]);
      const uint8_t lo = taken == 0 ? low : 0x80, hi = taken == 0 ? high : 0xBF;
      if (n < lo || n > hi) break;
      cp = (cp << 6) | (n & 0x3F);
    }
    if (taken < extra) {
      out.push_back(static_cast<wchar_t>(0xFFFD));
      i = j;
      continue;
    }
    AppendCodePoint(out, cp);
    i = j;
  }
  return out;
}

std::wstring FromLatin1(const std::string& bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (char c : bytes) out.push_back(static_cast<wchar_t>(static_cast<uint8_t>(c)));
  return out;
}

std::string ToLatin1(const std::wstring& s) {
  std::string out;
  out.reserve(s.size());
  for (wchar_t c : s) out.push_back(static_cast<uint32_t>(c) <= 0xFF ? static_cast<char>(c) : '?');
  return out;
}

std::wstring MaskedForSentence(const std::wstring& text, size_t maxLength) {
  std::wstring out = text.substr(0, maxLength);
  for (auto& c : out)
    if (static_cast<uint32_t>(c) < 0x20 || c == 0x7F) c = L'?';
  return out;
}

}  // namespace corvex
