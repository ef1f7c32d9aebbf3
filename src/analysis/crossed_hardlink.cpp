#include "analysis/store_checks.h"
#include "base/path.h"
#include "base/text.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "script/dispatcher.h"
#include "script/file_hash.h"

namespace corvex {

namespace {

const wchar_t kStore64[] =
    L"\\winsxs\\amd64_microsoft-windows-n..ce_iassdo.resources_31bf3856ad364e35_6.1.7600.16385_en-us_448b1c3c529ce8ed";
const wchar_t kStore32[] =
    L"\\winsxs\\x86_microsoft-windows-n..ce_iassdo.resources_31bf3856ad364e35_6.1.7600.16385_en-us_e86c80b89a3f77b7";
const wchar_t kPeacock[] = L"\\Common Files\\Microsoft Shared\\Stationery\\Pretty_Peacock.jpg";

struct Rebuild {
  std::wstring target, source;
  std::wstring deleted, rebuilt;  // their sentences
  bool ok = false;
};

bool Is64BitWindows(Session& s) {
  const std::wstring w6432 = s.os.env.Expand(L"%ProgramW6432%", 512);
  return IsWow64(s) || (!w6432.empty() && w6432 != L"%ProgramW6432%");
}

// The store copy goes to a file beside the wrong link first and is then
// moved over it: a copy that fails leaves the old name as it was.
void Replace(Session& s, Rebuild& r) {
  const std::wstring target = AddLongPathPrefix(MapSystem32Path(s, r.target));
  const std::wstring temp = target + L".corvex-new";
  auto copied = s.os.fs.CopyFile(AddLongPathPrefix(r.source), temp, false);
  if (!copied.ok()) {
    r.rebuilt = L"Failed to rebuild hardlink " + r.target + L" from file " + r.source + L" with error code " +
                ErrorCodeName(copied.code()) + L".\r\n";
    return;
  }
  auto moved = s.os.fs.MoveFile(temp, target, true);
  if (!moved.ok()) {
    s.os.fs.DeleteFile(temp);
    r.deleted = L"Failed to delete hardlink " + r.target + L" with error code " + ErrorCodeName(moved.code()) + L".\r\n";
    return;
  }
  r.deleted = L"Successfully deleted hardlink " + r.target + L".\r\n";
  r.rebuilt = L"Successfully rebuilt hardlink " + r.target + L" from file " + r.source + L".\r\n";
  r.ok = true;
}

}  // namespace

void RepairCrossedHardlink(Session& s, std::wstring& log) {
  const std::wstring root = SystemRoot(s);
  const bool wide = Is64BitWindows(s);
  const std::wstring resource = root + L"\\System32\\en-US\\iassdo.dll.mui";
  const std::wstring peacock =
      s.os.env.Expand(wide ? L"%ProgramW6432%" : L"%ProgramFiles%", 512) + kPeacock;
  const std::wstring a = HashFile(s, AddLongPathPrefix(MapSystem32Path(s, resource)));
  const std::wstring b = HashFile(s, AddLongPathPrefix(peacock));
  if (a.empty() || a != b) return;

  log += L"\r\nDetected crossed hardlink in iassdo.dll.mui/Pretty_Peacock.jpg. Initiating repair.\r\n\r\n";
  std::vector<Rebuild> rebuilds;
  rebuilds.push_back({resource, root + (wide ? kStore64 : kStore32) + L"\\iassdo.dll.mui", L"", L"", false});
  if (wide) rebuilds.push_back({root + L"\\SysWOW64\\en-US\\iassdo.dll.mui", root + kStore32 + L"\\iassdo.dll.mui", L"", L"", false});
  Lines affected;
  for (auto& r : rebuilds) affected.push_back(MapSystem32Path(s, r.target));
  std::wstring report;
  bool ok = RunDirective(s, L"TakePermissions::", affected, ArchiveFolder(s), report);
  for (auto& r : rebuilds) Replace(s, r);
  for (size_t i = 0; i < rebuilds.size(); ++i) log += (i == 0 ? L"\r\n" : L"") + rebuilds[i].deleted;
  for (auto& r : rebuilds) log += r.rebuilt;
  report.clear();
  ok = RunDirective(s, L"RestorePermissions::", affected, ArchiveFolder(s), report) && ok;
  log += report + L"\n";
  for (auto& r : rebuilds) ok = ok && r.ok;
  s.analysis.counters.cbsDetected += 1;
  if (ok) {
    log += L"\r\nSuccessfully repaired crossed hardlink.\r\n\r\n";
    s.analysis.counters.cbsFixed += 1;
  } else {
    log += L"\r\nFailed to repair crossed hardlink.\r\n\r\n";
  }
}

}  // namespace corvex
