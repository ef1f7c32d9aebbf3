// What happens to a file before it is overwritten: its read-only and hidden
// bits are cleared, and it is backed up under %SystemDrive%\Corvex\Backups,
// never over an earlier backup.
#pragma once

#include <string>

#include "fs/powercopy.h"

namespace corvex {

// The expansion of "%SystemDrive%\Corvex\Backups".
std::wstring BackupRoot(Session& s);
// root + "\" + the upper-case drive letter + the rest of `path` after its
// colon; empty when `path` does not start with a drive.
std::wstring BackupPathFor(const std::wstring& root, const std::wstring& path);

// Clears read-only and hidden on `path` (with "\\?\"); the sentences name
// `shown`. Returns false when a failure was written. `isFile` tells whether
// the path is an existing file.
bool ClearProtectiveAttributes(Session& s, const std::wstring& path, const std::wstring& shown, bool& isFile,
                               std::wstring& report);

// Prints the patience message the first time it is asked in one run of a
// directive: shadow copies take long.
struct PatienceMessage {
  bool shown = false;
  void Show(Session& s);
};

enum class BackupOutcome { kMade, kKept, kFailed };

// Backs up the existing file `path` (mapped, without "\\?\"). kKept: a
// backup was there already and stays; kFailed: the sentence and an empty
// line are in the report, and the file must not be overwritten.
BackupOutcome BackUpFile(Session& s, const std::wstring& root, const std::wstring& path,
                         const PowerCopyCalls::LockedCopier& copyLocked, PatienceMessage& patience,
                         std::wstring& report);

}  // namespace corvex
