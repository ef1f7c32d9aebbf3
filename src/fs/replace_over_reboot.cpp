// ReplaceOverReboot:: and the clean-up of staging files it left behind.
#include "base/path.h"
#include "base/text.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "fs/reboot_directives.h"
#include "platform/filesystem.h"

namespace corvex {

namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kStagingName[] = L"ReplaceOverReboot";

std::wstring StagingPath(Session& s, int n) { return WorkingFolder(s) + L"\\" + kStagingName + Decimal(n); }

// The next staging name nothing occupies, or empty when all are taken.
std::wstring TakeStagingName(Session& s, StagingSlots& slots) {
  while (slots.next < kStagingSlots) {
    std::wstring path = StagingPath(s, slots.next++);
    auto a = s.os.fs.GetAttributes(AddLongPathPrefix(path));
    // Without the working folder every name is free (3): it is made below.
    if (!a.ok() && (a.code() == platform::err::kFileNotFound || a.code() == platform::err::kPathNotFound))
      return path;
  }
  return L"";
}

// A failed write only warns: Windows may still carry the rename out.
void AllowProtectedRenames(Session& s, std::wstring& report) {
  platform::RegistryStep step;
  auto st = s.os.system.SetMachineDword(kSessionManager, L"AllowProtectedRenames", 1, step);
  if (st.ok()) return;
  const std::wstring tail = L" with error code " + ErrorCodeName(st.code()) +
                            L". Attempting without - be alert for silent failures over the reboot.\r\n";
  report += step == platform::RegistryStep::kOpenKey ? L"Failed to open Session Manager registry key" + tail
                                                      : L"Failed to write Session Manager registry value" + tail;
}

void DeleteStagingCopy(Session& s, const std::wstring& staging, std::wstring& report) {
  auto st = s.os.fs.DeleteFile(AddLongPathPrefix(staging));
  if (!st.ok())
    report += L"Failed to delete temporary file " + staging + L" with error code " + ErrorCodeName(st.code()) +
              L".\r\n";
}

}  // namespace

PendOutcome PendReplacement(Session& s, const std::wstring& line, StagingSlots& slots, std::wstring& report) {
  PendOutcome out;
  auto items = SplitLineItems(line);
  if (items.size() < 2) {
    report += L"Failed to pend file for replace over reboot. Failed to interpret line: " + line + L"\r\n";
    return out;
  }
  const std::wstring source = StripLongPathPrefix(items[0]);
  const std::wstring destination = StripLongPathPrefix(items[1]);
  const std::wstring staging = TakeStagingName(s, slots);
  if (staging.empty()) {
    report += L"Failed to pend file for replace over reboot: " + destination + L". All " + Decimal(kStagingSlots) +
              L" temporary file names " + WorkingFolder(s) + L"\\" + kStagingName + L"0 to " +
              Decimal(kStagingSlots - 1) + L" are taken.\r\n";
    return out;
  }
  AllowProtectedRenames(s, report);

  auto folder = CreateFolderIfMissing(s, WorkingFolder(s));
  auto copied = folder.ok() ? s.os.fs.CopyFile(AddLongPathPrefix(source), AddLongPathPrefix(staging), true) : folder;
  if (!copied.ok()) {
    report += L"Failed to copy file " + source + L" to temporary directory at " + staging + L" with error code " +
              ErrorCodeName(copied.code()) + L".\r\n";
    return out;
  }

  // The rename is carried out at boot, where no Sysnative alias exists: it
  // is handed the real System32 path, with redirection off so that WOW64
  // does not send that to SysWOW64. Redirection is off for this call only.
  const bool wow64 = IsWow64(s);
  uintptr_t previous = 0;
  if (wow64) {
    auto off = s.os.system.DisableFsRedirection();
    if (!off.ok()) {
      report += L"Failed to disable file system redirection with error code " + ErrorCodeName(off.code()) + L".\r\n";
      DeleteStagingCopy(s, staging, report);
      return out;
    }
    previous = *off;
  }
  auto pended = s.os.fs.PendRename(AddLongPathPrefix(staging), AddLongPathPrefix(UnmapSystem32Path(s, destination)));
  bool reverted = true;
  if (wow64) {
    auto back = s.os.system.RevertFsRedirection(previous);
    reverted = back.ok();
    if (!reverted)
      report += L"Failed to re-enable file system redirection with error code " + ErrorCodeName(back.code()) +
                L".\r\n";
  }
  if (!pended.ok()) {
    report += L"Failed to pend file for replace over reboot: " + destination + L". Error code: " +
              ErrorCodeName(pended.code()) + L".\r\n";
    DeleteStagingCopy(s, staging, report);
    return out;
  }
  report += L"Successfully pended file for replace over reboot: " + destination + L"\r\n";
  out.pended = true;
  out.ok = reverted;
  return out;
}

bool ReplaceOverRebootDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  StagingSlots slots;
  bool ok = true;
  for (auto& line : lines)
    if (!PendReplacement(s, line, slots, report).ok) ok = false;
  return ok;
}

std::vector<std::wstring> PendingRenamePaths(const std::vector<std::wstring>& value) {
  std::vector<std::wstring> paths;
  for (auto entry : value) {
    if (StartsWith(entry, L"!")) entry.erase(0, 1);
    // A damaged value may repeat the prefixes; none of them is part of a path.
    for (;;) {
      std::wstring bare = StartsWith(entry, L"\\??\\") ? entry.substr(4) : StripLongPathPrefix(entry);
      if (bare == entry) break;
      entry = std::move(bare);
    }
    if (!entry.empty()) paths.push_back(entry);
  }
  return paths;
}

void RemoveStaleStagingFiles(Session& s) {
  const std::wstring folder = WorkingFolder(s);
  auto found = s.os.fs.Find(AddLongPathPrefix(folder + L"\\" + kStagingName + L"*"));
  if (!found.ok()) return;
  std::vector<std::wstring> pending;
  auto value = s.os.system.ReadMachineMultiString(kSessionManager, L"PendingFileRenameOperations");
  if (value.ok()) {
    pending = PendingRenamePaths(*value);
  } else if (value.code() != platform::err::kFileNotFound) {
    // Without the list a staging file may still be waited for: keep them all.
    TraceErrorCode(s, value.code(), L"Failed to read the pending file renames; staging files are kept: ");
    return;
  }
  const std::wstring prefix = kStagingName;
  for (auto& e : *found) {
    if (e.attributes & platform::attr::kDirectory) continue;
    std::wstring digits = e.name.substr(std::min(e.name.size(), prefix.size()));
    // Only names this program hands out: 0 to 999 without leading zeros.
    if (!IStartsWith(e.name, prefix) || digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of(L"0123456789") != std::wstring::npos || (digits.size() > 1 && digits[0] == L'0'))
      continue;
    const std::wstring path = folder + L"\\" + e.name;
    bool named = false;
    for (auto& p : pending) named = named || IEquals(p, path);
    if (named) continue;
    auto st = s.os.fs.DeleteFile(AddLongPathPrefix(path));
    if (!st.ok()) TraceErrorCode(s, st.code(), L"Failed to delete the staging file " + path + L" with error code ");
  }
}

}  // namespace corvex
