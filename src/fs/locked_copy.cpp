#include "fs/locked_copy.h"

#include <cwctype>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "core/process_runner.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"

namespace corvex {

namespace {

namespace err = platform::err;
using platform::ShadowRoute;

// One snapshot ID a line: those made and not yet deleted.
constexpr wchar_t kListName[] = L"ShadowCopies";

// Locations after the seam's own: the copy out of the snapshot.
constexpr int kWmiCopyLocation = 7;
constexpr int kVssCopyLocation = 13;

ShadowRoute Route(Session& s) { return IsWow64(s) ? ShadowRoute::kWmi64 : ShadowRoute::kVssApi; }

// The IDs are read back from disk and end up on vssadmin's command line:
// only the "{GUID}" form is taken.
bool IsSnapshotId(const std::wstring& id) {
  if (id.size() != 38 || id.front() != L'{' || id.back() != L'}') return false;
  for (size_t i = 1; i + 1 < id.size(); ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? id[i] != L'-' : !std::iswxdigit(id[i])) return false;
  }
  return true;
}

std::vector<std::wstring> ListedIds(Session& s) {
  std::vector<std::wstring> ids;
  if (!WorkingFileExists(s, kListName)) return ids;
  auto text = ReadWorkingFile(s, kListName);
  if (!text.ok()) return ids;
  for (const std::wstring& line : Split(ReplaceAll(*text, L"\r", L""), L"\n"))
    if (!Trim(line).empty()) ids.push_back(Trim(line));
  return ids;
}

platform::Status WriteIds(Session& s, const std::vector<std::wstring>& ids) {
  if (ids.empty()) return s.os.fs.DeleteFile(AddLongPathPrefix(WorkingFolder(s) + L"\\" + kListName));
  std::wstring text;
  for (const std::wstring& id : ids) text += id + L"\r\n";
  return WriteWorkingFile(s, kListName, text);
}

void Remember(Session& s, const std::wstring& id) {
  std::vector<std::wstring> ids = ListedIds(s);
  ids.push_back(id);
  auto written = WriteIds(s, ids);
  if (!written.ok())
    TraceErrorCode(s, written.code(), L"Failed to note shadow copy " + id + L" with error code ");
}

void Forget(Session& s, const std::wstring& id) {
  std::vector<std::wstring> ids = ListedIds(s), kept;
  for (const std::wstring& listed : ids)
    if (!IEquals(listed, id)) kept.push_back(listed);
  if (kept.size() != ids.size()) WriteIds(s, kept);
}

// 0 when the snapshot is gone.
uint32_t DeleteSnapshot(Session& s, ShadowRoute route, const std::wstring& id) {
  if (route == ShadowRoute::kVssApi) {
    auto deleted = s.os.shadows.Delete(id);
    return deleted.ok() ? 0 : deleted.code();
  }
  const std::wstring vssadmin = MapSystem32Path(s, SystemRoot(s) + L"\\System32\\vssadmin.exe");
  RunOutcome run = RunProcess(s, vssadmin, L" Delete Shadows /Quiet /Shadow=" + id);
  return run.Failure();
}

// "C:\x" from "\\?\C:\x" or "C:\Windows\Sysnative\x"; empty for anything
// that is not a path on a drive.
std::wstring RealDrivePath(Session& s, const std::wstring& path) {
  const std::wstring real = UnmapSystem32Path(s, StripLongPathPrefix(path));
  if (real.size() < 3 || !std::iswalpha(real[0]) || real[1] != L':' || real[2] != L'\\') return L"";
  return real;
}

}  // namespace

std::wstring LockedCopyFailure(Session& s, int location, uint32_t code) {
  return std::wstring(IsWow64(s) ? L"64bit " : L"") + L"CopyLockedFile:: failed in location " +
         DecimalSigned(location) + L" with error code " + ErrorCodeName(code);
}

std::wstring LockedCopyFailure(Session& s, const platform::ShadowFailure& failure) {
  std::wstring text = LockedCopyFailure(s, failure.location, failure.code);
  if (failure.returnValue) text += L" and return value " + Decimal(failure.returnValue);
  return text;
}

LockedCopyResult CopyLockedFile(Session& s, const std::wstring& from, const std::wstring& to, bool failIfExists) {
  LockedCopyResult result;
  const ShadowRoute route = Route(s);
  const std::wstring real = RealDrivePath(s, from);
  if (real.empty()) {
    TraceError(s, L"No shadow copy can hold " + from + L": it is not a path on a drive.");
    result.failure = LockedCopyFailure(s, 0, err::kInvalidName);
    return result;
  }
  platform::Snapshot snapshot;
  platform::ShadowFailure failure;
  const bool made = s.os.shadows.Create(route, real.substr(0, 3), snapshot, failure);
  if (!snapshot.id.empty()) Remember(s, snapshot.id);
  if (!made) {
    result.failure = LockedCopyFailure(s, failure);
  } else {
    auto copied = s.os.fs.CopyFile(snapshot.deviceObject + real.substr(2), to, failIfExists);
    if (copied.ok())
      result.ok = true;
    else
      result.failure =
          LockedCopyFailure(s, route == ShadowRoute::kWmi64 ? kWmiCopyLocation : kVssCopyLocation, copied.code());
  }
  if (!snapshot.id.empty()) {
    if (uint32_t code = DeleteSnapshot(s, route, snapshot.id)) {
      result.warning = L"WARNING: Failed to delete shadow copy " + snapshot.id + L" with error code " +
                       ErrorCodeName(code) + L".\r\n";
      TraceError(s, Trim(result.warning));
    } else {
      Forget(s, snapshot.id);
    }
  }
  if (!result.ok) TraceError(s, L"Failed to copy locked file " + from + L" to " + to + L": " + result.failure);
  return result;
}

void DeleteLeftShadowCopies(Session& s) {
  std::vector<std::wstring> ids = ListedIds(s), kept;
  if (ids.empty()) return;
  const ShadowRoute route = Route(s);
  for (const std::wstring& id : ids) {
    if (!IsSnapshotId(id)) {
      TraceError(s, L"Dropped a malformed shadow copy ID from the list: " + id);
      continue;
    }
    if (uint32_t code = DeleteSnapshot(s, route, id)) {
      TraceErrorCode(s, code, L"Failed to delete shadow copy " + id + L" left by an earlier run with error code ");
      kept.push_back(id);
    } else {
      TraceInfo(s, L"Deleted shadow copy " + id + L" left by an earlier run.");
    }
  }
  WriteIds(s, kept);
}

}  // namespace corvex
