#include "core/text_reader.h"

#include "base/text.h"

namespace corvex {

// Every line end becomes CR LF. A final line break is kept, so a saved log
// read back continues exactly where it stopped.
static std::wstring NormaliseLines(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 40);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\n' && (out.empty() || out.back() != L'\r')) out.push_back(L'\r');
    out.push_back(text[i]);
  }
  return out;
}

std::wstring DecodeText(const std::string& b, TextDecoding how) {
  std::wstring text;
  auto byte = [&](size_t i) { return i < b.size() ? static_cast<uint8_t>(b[i]) : 0x100; };
  if (how == TextDecoding::kDetect) {
    if (byte(0) == 0xFF && byte(1) == 0xFE)
      text = FromUtf16Le(b, 2);
    else if (byte(0) == 0xFE && byte(1) == 0xFF)
      text = FromUtf16Be(b, 2);
    else if (b.size() >= 2 && byte(1) == 0)
      text = FromUtf16Le(b, 0);
    else if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF)
      text = FromUtf8(b, 3);
    else
      text = FromLatin1(b);
  } else if (how == TextDecoding::kUtf16) {
    text = FromUtf16Le(b, (byte(0) == 0xFF && byte(1) == 0xFE) ? 2 : 0);
  } else {
    text = FromLatin1(b);
  }
  return NormaliseLines(text);
}

platform::Result<std::wstring> ReadTextFile(Session& s, const std::wstring& path, TextDecoding how) {
  auto bytes = s.os.fs.ReadFile(s.os.env.Expand(path, 512));
  if (!bytes.ok()) return platform::Error{bytes.code()};
  return DecodeText(*bytes, how);
}

}  // namespace corvex
