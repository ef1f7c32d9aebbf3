#include "script/manifest_digest.h"

#include "base/path.h"
#include "base/text.h"
#include "core/text_reader.h"

namespace corvex {

std::vector<std::wstring> ManifestElementLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  for (auto& l : Split(ReplaceAll(text, L"><", L">\r\n<"), L"\r\n")) lines.push_back(Trim(l));
  return lines;
}

namespace {

constexpr size_t kDigestLength = 44;  // Base64 of 32 bytes

bool IsBase64Digest(const std::wstring& text) {
  if (text.size() != kDigestLength || text[kDigestLength - 1] != L'=') return false;
  for (size_t i = 0; i + 1 < kDigestLength; ++i) {
    wchar_t c = text[i];
    bool ok = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'+' ||
              c == L'/';
    if (!ok) return false;
  }
  return true;
}

bool IsCompressed(const std::string& bytes) {
  return bytes.compare(0, 3, "DCM") == 0 || bytes.compare(0, 4, "PA30") == 0;
}

// The element's text: what follows the end of its start tag (which may
// carry an xmlns attribute) up to the next "<".
std::wstring DigestOfLine(const std::wstring& line) {
  static const std::wstring kElement = L"<dsig:DigestValue";
  if (!StartsWith(line, kElement) || line.size() == kElement.size()) return L"";
  wchar_t next = line[kElement.size()];
  if (next != L'>' && !IsBlank(next)) return L"";  // another element, such as <dsig:DigestValueX>
  size_t open = line.find(L'>', kElement.size());
  if (open == std::wstring::npos) return L"";
  size_t close = line.find(L'<', open + 1);
  return Trim(line.substr(open + 1, close == std::wstring::npos ? std::wstring::npos : close - open - 1));
}

}  // namespace

std::wstring ManifestDigest(const std::string& manifestBytes, const std::wstring& fileName) {
  if (IsCompressed(manifestBytes) || fileName.empty()) return kUnknownDigest;
  const std::wstring fileLine = L"<file name=\"" + fileName + L"\"";
  bool inFile = false;
  for (const std::wstring& line : ManifestElementLines(DecodeText(manifestBytes))) {
    if (!inFile) {
      if (!IStartsWith(line, fileLine)) continue;
      // A file element closed on its own line holds no digest.
      if (EndsWith(line, L"/>")) return kUnknownDigest;
      inFile = true;
      continue;
    }
    // The digest of the next file is not this one's.
    if (StartsWith(line, L"</file>") || StartsWith(line, L"<file ")) return kUnknownDigest;
    if (StartsWith(line, L"<dsig:DigestValue")) {
      std::wstring digest = DigestOfLine(line);
      return IsBase64Digest(digest) ? digest : std::wstring(kUnknownDigest);
    }
  }
  return kUnknownDigest;
}

platform::Result<std::wstring> ReadManifestDigest(Session& s, const std::wstring& manifestPath,
                                                  const std::wstring& fileName) {
  auto bytes = s.os.fs.ReadFile(AddLongPathPrefix(manifestPath));
  if (!bytes.ok()) return platform::Error{bytes.code()};
  return ManifestDigest(*bytes, fileName);
}

}  // namespace corvex
