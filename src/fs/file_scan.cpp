#include "fs/file_scan.h"

#include <map>
#include <set>

#include "base/path.h"
#include "base/text.h"
#include "core/session_log.h"
#include "script/manifest_digest.h"
#include "script/dispatcher.h"
#include "script/file_hash.h"

namespace corvex {

VolumeScan ScanVolumeForNames(Session& s, wchar_t drive, const std::vector<std::wstring>& names) {
  std::map<size_t, std::vector<std::wstring>> byLength;
  for (const std::wstring& n : names)
    if (!n.empty()) byLength[n.size()].push_back(n);

  std::vector<uint64_t> ids;
  std::set<uint64_t> seen;
  auto st = s.os.security.ScanVolume(drive, [&](const platform::VolumeRecord& r) {
    if (r.attributes & platform::attr::kDirectory) return;
    auto same = byLength.find(r.name.size());
    if (same == byLength.end()) return;
    for (const std::wstring& n : same->second)
      if (IEquals(n, r.name)) {
        if (seen.insert(r.fileId).second) ids.push_back(r.fileId);
        return;
      }
  });

  VolumeScan scan;
  if (!st.ok()) {
    scan.stoppedWith = st.code();
    TraceErrorCode(s, st.code(), L"The scan of the file table of drive " + std::wstring(1, drive) +
                                     L": stopped with error code ");
  }
  // The links are listed once the enumeration is over, so the table is not
  // held open while every match opens files of its own.
  for (uint64_t id : ids) {
    auto links = s.os.security.HardLinksOfFileId(drive, id);
    if (links.ok()) {
      scan.files.push_back(*links);
    } else {
      ++scan.unlisted;
      TraceErrorCode(s, links.code(), L"Failed to list the hard links of file ID " + Decimal(id) +
                                          L" with error code ");
    }
  }
  return scan;
}

bool FindStoreLink(const HardLinkRecord& file, StoreLink& out) {
  for (const std::wstring& path : file.paths) {
    std::vector<std::wstring> parts = Split(path, L"\\");
    if (parts.size() < 5 || !IEquals(parts[1], L"windows") || !IEquals(parts[2], L"winsxs")) continue;
    if (parts[3].empty()) continue;
    out.path = path;
    out.storeFolder = parts[0] + L"\\" + parts[1] + L"\\" + parts[2];
    out.component = parts[3];
    out.fileName = Join(std::vector<std::wstring>(parts.begin() + 4, parts.end()), L"\\");
    return true;
  }
  return false;
}

std::wstring ComponentVersion(const std::wstring& component) {
  // arch _ name _ public key token _ version _ culture _ hash: counted from
  // the end, since nothing stops a name from holding "_".
  std::vector<std::wstring> parts = Split(component, L"_");
  if (parts.size() < 6) return L"";
  const std::wstring& v = parts[parts.size() - 3];
  std::vector<std::wstring> fields = Split(v, L".");
  if (fields.size() != 4) return L"";
  for (const std::wstring& f : fields) {
    if (f.empty() || f.size() > 5) return L"";
    for (wchar_t c : f)
      if (c < L'0' || c > L'9') return L"";
  }
  return v;
}

namespace {

std::wstring Comparison(const std::wstring& expected, const std::wstring& found, const wchar_t* missing) {
  return L" Expected: " + (expected.empty() ? std::wstring(missing) : expected) +
         L" Found: " + (found.empty() ? std::wstring(missing) : found) + L"\r\n";
}

std::wstring FoundVersion(Session& s, const std::wstring& path) {
  auto v = s.os.env.FileVersion(AddLongPathPrefix(path));
  if (!v.ok()) return L"";
  return Decimal((*v)[0]) + L"." + Decimal((*v)[1]) + L"." + Decimal((*v)[2]) + L"." + Decimal((*v)[3]);
}

std::wstring TraceOf(Session& s, const std::wstring& component, const std::wstring& archive) {
  std::wstring report;
  bool ok = RunDirective(s, L"Trace::", {component}, archive, report);
  report = Trim(report);
  if (!ok || report.empty()) return L"    Trace not available.";
  std::vector<std::wstring> lines = Split(ReplaceAll(report, L"\r\n", L"\n"), L"\n");
  for (auto& l : lines) l = L"    " + l;
  return Join(lines, L"\r\n");
}

}  // namespace

std::wstring DescribeFoundFile(Session& s, size_t index, const HardLinkRecord& file, const std::wstring& archive) {
  std::wstring text;
  const std::wstring tag = L"[" + Decimal(index) + L": " + Decimal(file.linkCount) + L"] ";
  for (const std::wstring& path : file.paths)
    text += tag + path + (file.deletePending ? L" **DELETED**" : L"") + L"\r\n";

  StoreLink store;
  if (!FindStoreLink(file, store)) return text + L"File is untraceable.\r\n";

  const std::wstring manifest = store.storeFolder + L"\\Manifests\\" + store.component + L".manifest";
  auto digest = ReadManifestDigest(s, manifest, store.fileName);
  if (!digest.ok() && (digest.code() == platform::err::kFileNotFound ||
                       digest.code() == platform::err::kPathNotFound)) {
    text += L"Manifest file is missing.\r\n";
  } else if (!digest.ok()) {
    text += L"Failed to read manifest file " + manifest + L" with error code " + ErrorCodeName(digest.code()) +
            L".\r\n";
  } else {
    text += Comparison(*digest, HexToBase64(HashFile(s, AddLongPathPrefix(store.path))), L"Hash not available.");
    text += Comparison(ComponentVersion(store.component), FoundVersion(s, store.path),
                       L"Version number not available.");
  }
  text += L" [" + store.component + L"]\r\n";
  text += TraceOf(s, store.component, archive) + L"\r\n\r\n";
  return text;
}

}  // namespace corvex
