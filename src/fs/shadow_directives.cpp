#include "fs/shadow_directives.h"

#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "fs/locked_copy.h"
#include "fs/powercopy_check.h"
#include "script/file_hash.h"
#include "script/manifest_digest.h"

namespace corvex {

namespace {

constexpr wchar_t kShadowCopyRoot[] = L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy";

// A VSS:: line: "Windows\winsxs\<component>\<file>", relative to a volume
// root. Parts that climb or name a drive or stream would read outside it.
bool IsStoreRelative(const std::wstring& line) {
  if (line.find(L':') != std::wstring::npos) return false;
  for (const std::wstring& part : Split(line, L"\\"))
    if (part.empty() || part == L"." || part == L"..") return false;
  return true;
}

struct Sought {
  std::wstring line;
  std::wstring digest;  // empty: nothing can match
};

// The manifest's digest for the line's file; empty when the line is too
// short, the manifest cannot be read or does not know the digest.
std::wstring ExpectedDigest(Session& s, const std::wstring& line) {
  const std::vector<std::wstring> parts = Split(line, L"\\");
  if (parts.size() < 4) return L"";
  std::vector<std::wstring> file(parts.begin() + 3, parts.end());
  auto digest = ReadManifestDigest(s, SystemRoot(s) + L"\\winsxs\\Manifests\\" + parts[2] + L".manifest",
                                   Join(file, L"\\"));
  if (!digest.ok()) {
    TraceErrorCode(s, digest.code(), L"VSS: no manifest digest for " + line + L" with error code ");
    return L"";
  }
  return *digest == kUnknownDigest ? L"" : *digest;
}

}  // namespace

bool CopyLockedFileDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  for (const std::wstring& line : lines) {
    const std::vector<std::wstring> items = SplitLineItems(line);
    if (items.size() < 2) {
      report += L"Failed to copy locked file for line " + line + L". A source and a destination path are needed.\r\n";
      ok = false;
      continue;
    }
    const std::wstring from = MapSystem32Path(s, StripLongPathPrefix(items[0]));
    const std::wstring to = MapSystem32Path(s, StripLongPathPrefix(items[1]));
    const size_t slash = to.rfind(L'\\');
    if (slash != std::wstring::npos && slash > PathRootLength(to)) CreateFolderChain(s, to.substr(0, slash));
    LockedCopyResult copied = CopyLockedFile(s, AddLongPathPrefix(from), AddLongPathPrefix(to), false);
    if (copied.ok) {
      report += L"Successfully copied locked file " + ShownPath(s, from) + L" to " + ShownPath(s, to) + L".\r\n";
    } else {
      report += L"Failed to copy locked file " + ShownPath(s, from) + L" to " + ShownPath(s, to) + L".\r\n" +
                copied.failure + L".\r\n";
      ok = false;
    }
    report += copied.warning;
  }
  return ok;
}

bool VssDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  Print(s, L"Please be patient, this directive may take several minutes to complete.\n");
  EnsureWorkingFolders(s);
  bool ok = true;
  std::vector<Sought> sought;
  for (const std::wstring& raw : lines) {
    const std::wstring line = Trim(raw);
    if (line.empty()) continue;
    if (!IsStoreRelative(line)) {
      report += L"Refused line " + line + L": it must be a path relative to the volume root.\r\n";
      ok = false;
      continue;
    }
    sought.push_back({line, ExpectedDigest(s, line)});
  }
  // The copies that exist, listed once: no link is made to a number that
  // might not exist, so the walk always ends.
  auto numbers = s.os.system.ShadowCopyNumbers();
  if (!numbers.ok()) TraceErrorCode(s, numbers.code(), L"VSS: failed to list the shadow copies with error code ");
  for (size_t k = 0; numbers.ok() && k < numbers->size() && !sought.empty(); ++k) {
    const std::wstring root = kShadowCopyRoot + Decimal((*numbers)[k]) + L"\\";
    for (size_t i = 0; i < sought.size();) {
      std::wstring hash;
      if (!sought[i].digest.empty()) {
        const std::wstring hex = HashFile(s, root + sought[i].line);
        if (!hex.empty()) hash = HexToBase64(hex);
      }
      if (!hash.empty() && hash == sought[i].digest) {
        report += root + sought[i].line + L"\r\nFound: " + hash + L"\r\n\r\n";
        sought.erase(sought.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }
  for (const Sought& left : sought) report += L"Not found: " + left.line + L"\r\n";
  return ok && sought.empty();
}

}  // namespace corvex
