#include "registry/value_text.h"

#include <cwchar>

#include "platform/registry.h"

namespace corvex {

namespace regtype = platform::regtype;

namespace {

bool StartsWith(const std::wstring& name, const wchar_t* prefix) {
  size_t n = std::wcslen(prefix);
  return name.size() >= n && name.compare(0, n, prefix) == 0;
}

// UTF-16 code units, size/2 of them at most, up to the first NUL.
void Utf16UpToNul(const unsigned char* bytes, size_t size, std::wstring& text) {
  for (size_t i = 0; i + 1 < size; i += 2) {
    wchar_t unit = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == L'\0') break;
    text.push_back(unit);
  }
}

void StringForm(const unsigned char* bytes, size_t size, std::wstring& text) {
  if (size >= 2 && bytes[1] == 0) {
    Utf16UpToNul(bytes, size, text);
    return;
  }
  for (size_t i = 0; i < size && bytes[i] != 0; ++i) text.push_back(static_cast<wchar_t>(bytes[i]));
}

// How many leading bytes of a raw-form value have their zero bytes shown as
// spaces; 0 when the value is not shown raw.
size_t RawSpan(const std::wstring& name, size_t size, bool& raw) {
  raw = true;
  if (StartsWith(name, L"p!") || StartsWith(name, L"i!") || StartsWith(name, L"s!")) {
    raw = size > 8;
    return 8;
  }
  if (name == L"S256H") {
    raw = size > 8;
    return size;
  }
  if (name == L"DV" || name == L"S1H" || StartsWith(name, L"MCP_")) return size;
  raw = false;
  return 0;
}

}  // namespace

void ValueDataToText(const std::wstring& name, const char* data, size_t size, uint32_t type, std::wstring& text) {
  text.clear();
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  switch (type) {
    case regtype::kDword: {
      if (size < 4) return;
      uint32_t v = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
      static const wchar_t kDigits[] = L"0123456789ABCDEF";
      wchar_t buf[8];
      int n = 0;
      do {
        buf[n++] = kDigits[v & 0xF];
        v >>= 4;
      } while (v != 0);
      while (n > 0) text.push_back(buf[--n]);
      return;
    }
    case regtype::kSz:
      StringForm(bytes, size, text);
      return;
    case regtype::kBinary: {
      bool raw = false;
      size_t spaced = RawSpan(name, size, raw);
      if (!raw) {
        StringForm(bytes, size, text);
        return;
      }
      text.reserve(size);
      for (size_t i = 0; i < size; ++i)
        text.push_back(bytes[i] == 0 && i < spaced ? L' ' : static_cast<wchar_t>(bytes[i]));
      return;
    }
    default:
      Utf16UpToNul(bytes, size, text);
      return;
  }
}

std::wstring ValueDataToText(const std::wstring& name, const std::string& data, uint32_t type) {
  std::wstring text;
  ValueDataToText(name, data.data(), data.size(), type, text);
  return text;
}

}  // namespace corvex
