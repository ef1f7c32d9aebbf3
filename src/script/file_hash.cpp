#include "script/file_hash.h"

namespace corvex {

std::wstring HashFile(Session& s, const std::wstring& path, size_t length) {
  auto digest = s.os.hasher.Sha256File(path);
  if (!digest.ok() || digest->size() < length) return L"";
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring out;
  for (size_t i = 0; i < length; ++i) {
    out.push_back(kHex[(*digest)[i] >> 4]);
    out.push_back(kHex[(*digest)[i] & 0xF]);
  }
  return out;
}

static int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

std::wstring HexToBase64(const std::wstring& hex) {
  static const wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return L"";
    bytes.push_back(static_cast<char>(hi * 16 + lo));
  }
  std::wstring out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : L'=');
    out.push_back(i + 2 < bytes.size() ? kAlphabet[n & 63] : L'=');
  }
  return out;
}

}  // namespace corvex
