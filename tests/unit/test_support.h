// A fresh fake Windows and session per test.
#pragma once

#include <string>

#include "core/session.h"
#include "base/text.h"
#include "platform/fake/fake_windows.h"

namespace corvex::testing {

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

// UTF-16LE bytes with a byte-order mark, as Notepad saves "Unicode".
inline std::string Utf16Bom(const std::wstring& text) { return "\xFF\xFE" + ToUtf16Le(text); }

}  // namespace corvex::testing
