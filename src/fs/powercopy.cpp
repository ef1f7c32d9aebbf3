#include "fs/powercopy.h"

#include "base/path.h"
#include "base/text.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "fs/file_directives.h"
#include "fs/permission_directives.h"
#include "fs/powercopy_backup.h"
#include "fs/powercopy_check.h"
#include "fs/powercopy_copy.h"
#include "fs/reboot_directives.h"

namespace corvex {

PowerCopyCalls PowerCopyCalls::Program() {
  PowerCopyCalls calls;
  calls.takePermissions = TakePermissionsDirective;
  calls.restorePermissions = RestorePermissionsDirective;
  calls.createDirectory = CreateDirectoryDirective;
  calls.pendReplacement = PendReplacement;
  calls.reboot = RebootDirective;
  calls.copyLocked = CopyLockedFile;
  return calls;
}

bool PowerCopyWith(Session& s, Lines lines, const std::wstring& archive, std::wstring& report,
                   const PowerCopyCalls& calls) {
  const CopyMode mode = TakeCopyMode(lines);
  CheckedLines checked = CheckCopyLines(s, std::move(lines), archive, report);
  bool ok = checked.ok;
  // Each helper's report is a block of its own.
  auto run = [&](const PowerCopyCalls::Handler& handler, const wchar_t* modeLine, const Lines& paths) {
    if (paths.empty()) return;
    std::wstring text;
    if (!handler(s, WithModeLine(mode, modeLine, paths), archive, text)) ok = false;
    if (!Trim(text).empty()) report += Trim(text) + L"\r\n\r\n";
  };
  run(calls.takePermissions, L"[MODE:1]", checked.permissions);
  run(calls.createDirectory, L"[MODE:2]", checked.folders);
  return RunCopyPhase(s, mode, checked, archive, calls, ok, report);
}

bool PowerCopyDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report) {
  return PowerCopyWith(s, std::move(lines), archive, report, PowerCopyCalls::Program());
}

bool CopyFilesDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  for (const auto& line : lines) {
    auto items = SplitLineItems(line);
    if (items.size() < 2) {
      report += L"Failed to copy files for line " + line + L". A source and a destination path are needed.\r\n";
      ok = false;
      continue;
    }
    const std::wstring from = AddLongPathPrefix(MapSystem32Path(s, items[0]));
    const std::wstring to = AddLongPathPrefix(MapSystem32Path(s, items[1]));
    const std::wstring shownFrom = ShownPath(s, from), shownTo = ShownPath(s, to);
    bool isFile = false;
    if (!ClearProtectiveAttributes(s, to, shownTo, isFile, report)) ok = false;
    auto copied = s.os.fs.CopyFile(from, to, false);
    if (copied.ok()) {
      report += L"Successfully copied file " + shownFrom + L" to " + shownTo + L".\r\n";
    } else {
      report += L"Failed to copy file " + shownFrom + L" to " + shownTo + L" with error code " +
                ErrorCodeName(copied.code()) + L".\r\n";
      ok = false;
    }
  }
  return ok;
}

bool RestoreFromBackupDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report) {
  const std::wstring root = BackupRoot(s);
  Lines copies{L"[MODE:2]"};
  for (const auto& line : lines) {
    std::wstring path = ReplaceAll(line, L"\"", L"");
    if (StartsWith(path, kLongPathPrefix)) path = path.substr(std::wstring(kLongPathPrefix).size());
    // Backups are kept under the real System32 name (see BackUpFile).
    copies.push_back(L"\"" + BackupPathFor(root, UnmapSystem32Path(s, path)) + L"\" " + path);
  }
  return PowerCopyDirective(s, std::move(copies), archive, report);
}

}  // namespace corvex
