// A fresh fake Windows and session per test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/session.h"
#include "base/text.h"
#include "platform/fake/fake_windows.h"
#include "script/directive.h"

namespace corvex::testing {

// Where the fake machine keeps the program, the user's log and the working
// folder.
inline const std::wstring kExe = L"C:\\Users\\Tester\\Downloads\\Corvex.exe";
inline const std::wstring kDesktopLog = L"C:\\Users\\Tester\\Desktop\\Corvex.txt";
inline const std::wstring kWork = L"C:\\Users\\Tester\\AppData\\Local\\Tallwen";

struct FakeSession {
  fake::FakeWindows w;
  Session s{w.platform()};

  // Decoded text of a UTF-16LE file with byte-order mark; "" when missing.
  std::wstring Utf16File(const std::wstring& path) const {
    std::string b = w.FileBytes(path);
    if (b.size() < 2 || b.substr(0, 2) != "\xFF\xFE") return L"";
    return FromUtf16Le(b, 2);
  }
};

// The report of one run of a directive's handler, which must return `ok`.
inline std::wstring Ran(DirectiveHandler handler, FakeSession& f, Lines lines, bool ok = true) {
  std::wstring report;
  EXPECT_EQ(handler(f.s, std::move(lines), L"", report), ok) << ToUtf8(report);
  return report;
}

// Whether `text` holds `part`; a failure shows both.
inline ::testing::AssertionResult Holds(const std::wstring& text, const std::wstring& part) {
  if (text.find(part) != std::wstring::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << ToUtf8(part) << "\" is not in:\n" << ToUtf8(text);
}

// `n` bytes of noise, the same for the same seed.
inline std::string Noise(size_t n, uint32_t seed) {
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
  return out;
}

// Registry string data: UTF-16LE with its terminating NUL.
inline std::string Sz(const std::wstring& text) { return ToUtf16Le(text) + std::string(2, '\0'); }

// UTF-16LE bytes with a byte-order mark, as Notepad saves "Unicode".
inline std::string Utf16Bom(const std::wstring& text) { return "\xFF\xFE" + ToUtf16Le(text); }

}  // namespace corvex::testing
