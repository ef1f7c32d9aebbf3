#include "fs/powercopy_copy.h"

#include <algorithm>

#include "base/path.h"
#include "base/text.h"
#include "core/atomic_file.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "fs/powercopy_backup.h"
#include "script/dispatcher.h"
#include "script/file_hash.h"

namespace corvex {

namespace err = platform::err;
namespace access = platform::access;
namespace share = platform::share;

namespace {

// A destination in use, waiting for its rename at the next start.
struct PendingFile {
  std::wstring line;            // "source" destination, for ReplaceOverReboot::
  std::wstring hashRecord;      // destination|Base64 SHA-256 of the source
  std::wstring permissionPath;  // taken off the permission list; empty if none
  bool pended = false;
};

struct CopyRun {
  Session& s;
  CopyMode mode;
  const std::wstring& archive;
  const PowerCopyCalls& calls;
  std::wstring& report;
  Lines& permissions;
  bool ok;
  PatienceMessage patience;
  std::vector<PendingFile> pending;
};

std::wstring SuccessSentence(CopyMode mode, const std::wstring& source, const std::wstring& destination) {
  switch (mode) {
    case CopyMode::kAutomatic:
      return L"FIXED: Corruption at " + destination + L" has been successfully repaired from " + source + L".\r\n";
    case CopyMode::kRestore:
      return L"Successfully restored file " + destination + L" from backup.\r\n";
    case CopyMode::kNormal:
      break;
  }
  return L"Successfully copied file " + source + L" to " + destination + L".\r\n";
}

// The destination is open in another process: its replacement waits for
// the next start, and so does the restore of its security.
void PendDestination(CopyRun& run, const CopyLine& line) {
  Session& s = run.s;
  run.report += L"The file " + ShownPath(s, line.destination) + L" is in use and must be replaced over a reboot.\r\n";
  PendingFile p;
  // The rename runs with WOW64 redirection off and is carried out at boot,
  // where only the real System32 name exists; the source is still read
  // with redirection on, through the mapped name.
  const std::wstring real = UnmapSystem32Path(s, line.destination);
  p.line = L"\"" + line.source + L"\" " + real;
  std::wstring hash = HashFile(s, AddLongPathPrefix(line.source));
  p.hashRecord = real + L"|" + (hash.empty() ? std::wstring() : HexToBase64(hash));
  auto it = std::find(run.permissions.begin(), run.permissions.end(), line.destination);
  if (it != run.permissions.end()) {
    p.permissionPath = *it;
    run.permissions.erase(it);
  }
  run.pending.push_back(std::move(p));
}

void CopyOne(CopyRun& run, const std::wstring& root, const CopyLine& line) {
  Session& s = run.s;
  const std::wstring from = AddLongPathPrefix(line.source), to = AddLongPathPrefix(line.destination);
  const std::wstring shownFrom = ShownPath(s, line.source), shownTo = ShownPath(s, line.destination);
  bool isFile = false;
  if (!ClearProtectiveAttributes(s, to, shownTo, isFile, run.report)) run.ok = false;
  if (run.mode != CopyMode::kRestore && isFile &&
      BackUpFile(s, root, line.destination, run.calls.copyLocked, run.patience, run.report) ==
          BackupOutcome::kFailed) {
    run.ok = false;  // without a backup the file is left as it is
    return;
  }
  if (s.skipMask & skip::kFileCopy) {
    run.report += SuccessSentence(run.mode, shownFrom, shownTo);
    return;
  }
  auto copied = s.os.fs.CopyFile(from, to, false);
  if (copied.ok()) {
    run.report += SuccessSentence(run.mode, shownFrom, shownTo);
    return;
  }
  if (copied.code() != err::kSharingViolation) {
    run.report += L"Failed to copy file " + shownFrom + L" to " + shownTo + L" with error code " +
                  ErrorCodeName(copied.code()) + L".\r\n";
    run.ok = false;
    return;
  }
  // Which side is held: a source that cannot even be opened for reading
  // beside a deleter is locked; otherwise the destination is in use.
  if (s.os.fs.Open(from, access::kRead, share::kDelete, platform::Disposition::kOpenExisting).ok()) {
    PendDestination(run, line);
    return;
  }
  run.patience.Show(s);
  auto locked = run.calls.copyLocked(s, from, to, false);
  run.report += locked.warning;
  if (locked.ok) {
    run.report += L"Successfully copied locked file " + shownFrom + L" to " + shownTo + L".\r\n";
  } else {
    run.report += L"Failed to copy file " + shownFrom + L" to " + shownTo + L".\r\n" + locked.failure + L".\r\n";
    run.ok = false;
  }
}

// Each destination is pended on its own, so that each one's outcome is
// known: only a destination really pended leaves its security to the next
// start.
bool PendAll(CopyRun& run) {
  Session& s = run.s;
  StagingSlots slots;
  std::wstring said;
  bool all = true;
  for (auto& p : run.pending) {
    PendOutcome outcome = run.calls.pendReplacement(s, p.line, slots, said);
    p.pended = outcome.pended;
    all = all && outcome.ok;
  }
  run.report += Trim(said) + L"\r\n";
  if (!all) {
    run.report +=
        L"Failed to pend all files for replacement over reboot. Permissions may not be restored for all files.\r\n";
    run.ok = false;
  }
  Lines hashes, later;
  for (const auto& p : run.pending) {
    if (!p.pended) continue;
    hashes.push_back(p.hashRecord);
    if (!p.permissionPath.empty()) later.push_back(UnmapSystem32Path(s, p.permissionPath));
  }
  bool written = false;
  if (!hashes.empty()) {
    written = CreateFolderIfMissing(s, WorkingFolder(s)).ok() &&
              ReplaceFileContents(s.os.fs, AddLongPathPrefix(WorkingFolder(s) + L"\\Reboot_Pre_Script"),
                                  "\xFF\xFE" + ToUtf16Le(PreScriptText(hashes, later)))
                  .ok();
    if (!written) {
      run.report +=
          L"Failed to write new reboot pre-script file. Permissions may not be restored for all files.\r\n";
      run.ok = false;
    }
  }
  // Whatever will not be restored after the start is restored now.
  for (const auto& p : run.pending) {
    if (!(p.pended && written) && !p.permissionPath.empty()) run.permissions.push_back(p.permissionPath);
  }
  // Renames Windows has accepted need the restart even without the script.
  if (hashes.empty()) return false;
  s.rebootRequired = true;
  return true;
}

}  // namespace

std::wstring PreScriptText(const Lines& hashRecords, const Lines& permissionPaths) {
  // Ends with a line break, so whatever Reboot:: puts after it starts on a
  // line of its own.
  return L"PostRebootCorruptionDetection::\r\n" + Join(hashRecords, L"\r\n") +
         L"\r\nPostRebootRestorePermissions::\r\n" + Join(permissionPaths, L"\r\n") + L"\r\n";
}

bool RunCopyPhase(Session& s, CopyMode mode, CheckedLines& checked, const std::wstring& archive,
                  const PowerCopyCalls& calls, bool resultSoFar, std::wstring& report) {
  CopyRun run{s, mode, archive, calls, report, checked.permissions, resultSoFar, {}, {}};
  const std::wstring root = BackupRoot(s);
  if (mode != CopyMode::kRestore && !CreateFolderChain(s, root).ok())
    report +=
        L"WARNING: Failed to create outer backup directory. Some files may not be successfully backed up.\r\n\r\n";
  for (const auto& line : checked.lines) CopyOne(run, root, line);

  const bool rebootNeeded = !run.pending.empty() && PendAll(run);

  if (!run.permissions.empty()) {
    std::wstring text;
    if (!calls.restorePermissions(s, WithModeLine(mode, L"[MODE:1]", run.permissions), archive, text))
      run.ok = false;
    if (!Trim(text).empty()) report += Trim(text) + L"\r\n";
  }

  if (rebootNeeded) {
    // The log Reboot:: saves for the next start must already hold this
    // directive's section.
    WriteDirectiveSection(s, L"PowerCopy::", report, run.ok);
    std::wstring text;
    if (!calls.reboot(s, {}, archive, text)) run.ok = false;
    report = Trim(text);
  }
  return run.ok;
}

}  // namespace corvex
