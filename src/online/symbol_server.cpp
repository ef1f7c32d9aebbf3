#include "online/symbol_server.h"

#include "base/bytes.h"

#include <cstdio>
#include <cwchar>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "core/session_log.h"
#include "core/working_folders.h"
#include "online/servers.h"

namespace corvex::online {

namespace {

bool ParseHex(const std::wstring& text, uint32_t& value) {
  std::wstring digits = IStartsWith(text, L"0x") ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t v = 0;
  for (wchar_t c : digits) {
    uint32_t d;
    if (c >= L'0' && c <= L'9') d = static_cast<uint32_t>(c - L'0');
    else if (c >= L'a' && c <= L'f') d = static_cast<uint32_t>(c - L'a' + 10);
    else if (c >= L'A' && c <= L'F') d = static_cast<uint32_t>(c - L'A' + 10);
    else return false;
    v = v << 4 | d;
  }
  value = v;
  return true;
}

std::wstring FirstWord(const std::wstring& text) {
  const std::wstring t = Trim(text);
  return t.substr(0, t.find(L' '));
}

// The name the server knows the file by: a plain file name, nothing that
// would climb or reach elsewhere in the cache's path.
bool IsPlainName(const std::wstring& name) {
  // Windows drops trailing dots and spaces, so such a name is another file.
  if (name.empty() || name.back() == L'.' || name.back() == L' ' || name.find(L"..") != std::wstring::npos)
    return false;
  for (wchar_t c : name)
    if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c)) return false;
  return true;
}


// Reads only the headers: images can be large.
bool IdentityOfFile(Session& s, const std::wstring& path, uint32_t& stamp, uint32_t& size) {
  auto file = s.os.fs.Open(AddLongPathPrefix(path), platform::access::kRead, platform::share::kAll,
                           platform::Disposition::kOpenExisting);
  if (!file.ok()) return false;
  auto head = (*file)->ReadAt(0, 4096);
  return head.ok() && ReadImageIdentity(*head, stamp, size);
}

}  // namespace

bool ParseSymbolLine(const std::wstring& line, SymbolLine& out) {
  out = SymbolLine{};
  bool file = false;
  for (const std::wstring& raw : Split(line, L",")) {
    const std::wstring field = Trim(raw);
    if (IStartsWith(field, L"file ")) {
      out.file = Trim(field.substr(5));
      file = !out.file.empty();
    } else if (IStartsWith(field, L"timestamp ")) {
      if (!ParseHex(FirstWord(field.substr(10)), out.stamp)) return false;
      out.hasStamp = true;
    } else if (IStartsWith(field, L"size ")) {
      if (!ParseHex(FirstWord(field.substr(5)), out.size)) return false;
      out.hasSize = true;
    }
  }
  return file;
}

bool ReadImageIdentity(const std::string& bytes, uint32_t& stamp, uint32_t& size) {
  if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
  const size_t pe = LoadLe32(bytes, 0x3C);
  // Signature, COFF header (20 bytes), then the optional header's
  // SizeOfImage at offset 56 in both the 32- and the 64-bit form.
  if (pe > bytes.size() || bytes.size() - pe < 24 + 60) return false;
  if (bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return false;
  stamp = LoadLe32(bytes, pe + 8);
  size = LoadLe32(bytes, pe + 24 + 56);
  return true;
}

std::wstring SymbolKey(uint32_t stamp, uint32_t size) {
  wchar_t text[24];
  std::swprintf(text, 24, L"%08X%x", stamp, size);
  return text;
}

bool SymbolServerDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  const std::wstring cache = TempFolder(s) + L"\\MicrosoftSymbolServerBinaries";
  for (const std::wstring& line : lines) {
    if (Trim(line).empty()) continue;
    SymbolLine sl;
    const bool parsed = ParseSymbolLine(line, sl);
    const size_t slash = sl.file.rfind(L'\\');
    const std::wstring name = slash == std::wstring::npos ? sl.file : sl.file.substr(slash + 1);
    const bool given = sl.hasStamp && sl.hasSize;
    // A path is only for reading the identity from a local copy.
    if (!parsed || !IsPlainName(name) || (given && slash != std::wstring::npos) ||
        (!given && (sl.hasStamp || sl.hasSize))) {
      report += L"Failed to identify file for line " + Trim(line) +
                L". A plain file name with both a timestamp and a size, or the path of a local copy, is needed.\r\n\r\n";
      ok = false;
      continue;
    }
    if (!given) {
      if (!IdentityOfFile(s, sl.file, sl.stamp, sl.size)) {
        report += L"Failed to extract identifying data for file " + sl.file + L".\r\n\r\n";
        ok = false;
        continue;
      }
      report += L"Extracted identifying data for file " + sl.file + L" of timestamp " + HexCode(sl.stamp) +
                L" and image size " + HexCode(sl.size) + L".\r\n";
    } else {
      report += L"Identified file " + sl.file + L" of timestamp " + HexCode(sl.stamp) + L" and image size " +
                HexCode(sl.size) + L".\r\n";
    }
    const std::wstring key = SymbolKey(sl.stamp, sl.size);
    const std::wstring folder = cache + L"\\" + name + L"\\" + key;
    const std::wstring target = folder + L"\\" + name;
    const std::wstring url = SymbolServerUrl(s, L"/" + name + L"/" + key + L"/" + name);
    // Whatever lies in the cache already is fetched again: only what the
    // server sent, with the identity asked for, counts.
    s.os.fs.DeleteFile(AddLongPathPrefix(target));
    uint32_t stamp = 0, size = 0;
    auto made = CreateFolderChain(s, folder);
    auto fetched = made.ok() ? s.os.http.Download(url, AddLongPathPrefix(target), nullptr) : made;
    if (!fetched.ok()) {
      TraceErrorCode(s, fetched.code(), L"Failed to download " + url + L" with error code ");
    } else if (!IdentityOfFile(s, target, stamp, size) || stamp != sl.stamp || size != sl.size) {
      TraceError(s, L"The file downloaded from " + url + L" is not the image asked for.");
      s.os.fs.DeleteFile(AddLongPathPrefix(target));
    } else {
      report += L"Successfully downloaded file to " + target + L".\r\n\r\n";
      continue;
    }
    report += L"Failed to download file " + name + L" from symbol server.\r\n\r\n";
    ok = false;
  }
  return ok;
}

}  // namespace corvex::online
