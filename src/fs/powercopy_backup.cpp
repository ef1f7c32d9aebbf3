#include "fs/powercopy_backup.h"

#include <cwctype>

#include "base/path.h"
#include "core/console_output.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "fs/powercopy_check.h"

namespace corvex {

namespace attr = platform::attr;
namespace err = platform::err;

std::wstring BackupRoot(Session& s) { return s.os.env.Expand(L"%SystemDrive%\\Corvex\\Backups", 512); }

std::wstring BackupPathFor(const std::wstring& root, const std::wstring& path) {
  if (path.size() < 2 || path[1] != L':') return std::wstring();
  return root + L"\\" + static_cast<wchar_t>(std::towupper(path[0])) + path.substr(2);
}

bool ClearProtectiveAttributes(Session& s, const std::wstring& path, const std::wstring& shown, bool& isFile,
                               std::wstring& report) {
  isFile = false;
  auto a = s.os.fs.GetAttributes(path);
  if (!a.ok()) {
    if (a.code() == err::kFileNotFound) return true;
    report += L"Failed to read file attributes for file " + shown + L".\r\n";
    return false;
  }
  isFile = !(*a & attr::kDirectory);
  constexpr uint32_t kProtective = attr::kReadOnly | attr::kHidden;
  if (!(*a & kProtective)) return true;
  uint32_t cleared = *a & ~kProtective;
  auto set = s.os.fs.SetAttributes(path, cleared ? cleared : attr::kNormal);
  if (set.ok()) return true;
  report += L"Failed to set file attributes for file " + shown + L" with error code " + ErrorCodeName(set.code()) +
            L".\r\n";
  return false;
}

void PatienceMessage::Show(Session& s) {
  if (shown) return;
  shown = true;
  Print(s, L"Please be patient, this directive may take several minutes to complete.\n");
}

BackupOutcome BackUpFile(Session& s, const std::wstring& root, const std::wstring& path,
                         const PowerCopyCalls::LockedCopier& copyLocked, PatienceMessage& patience,
                         std::wstring& report) {
  const std::wstring shown = ShownPath(s, path);
  // Backups are kept under the file's real name, so a Sysnative line and
  // a later RestoreFromBackup:: line meet at the same backup.
  const std::wstring backup = BackupPathFor(root, UnmapSystem32Path(s, path));
  const size_t slash = backup.rfind(L'\\');
  if (backup.empty() || !CreateFolderChain(s, backup.substr(0, slash)).ok()) {
    report += L"Failed to create backup directory for file " + shown + L".\r\n\r\n";
    return BackupOutcome::kFailed;
  }
  const std::wstring kept =
      L"WARNING: File " + shown + L" was not backed up as that would replace the current backup.\r\n";
  // Looked at before either copy: the shadow-copy route must never meet an
  // older backup it could overwrite.
  if (s.os.fs.GetAttributes(AddLongPathPrefix(backup)).ok()) {
    report += kept;
    return BackupOutcome::kKept;
  }
  auto copied = s.os.fs.CopyFile(AddLongPathPrefix(path), AddLongPathPrefix(backup), true);
  if (copied.ok()) return BackupOutcome::kMade;
  if (copied.code() == err::kFileExists) {
    report += kept;
    return BackupOutcome::kKept;
  }
  if (copied.code() == err::kSharingViolation) {
    patience.Show(s);
    auto locked = copyLocked(s, AddLongPathPrefix(path), AddLongPathPrefix(backup), true);
    report += locked.warning;
    if (locked.ok) return BackupOutcome::kMade;
    report += L"Failed to backup locked file " + shown + L".\r\n" + locked.failure + L".\r\n\r\n";
    return BackupOutcome::kFailed;
  }
  report += L"Failed to backup file " + shown + L" with error code " + ErrorCodeName(copied.code()) + L".\r\n\r\n";
  return BackupOutcome::kFailed;
}

}  // namespace corvex
