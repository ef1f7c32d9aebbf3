// Replacing protected files: PowerCopy:: with its blocking rules, backups
// and hand-over to the replacement over reboot; the plain CopyFiles:: and
// RestoreFromBackup::.
#pragma once

#include <functional>
#include <string>

#include "fs/locked_copy.h"
#include "fs/reboot_directives.h"
#include "script/directive.h"

namespace corvex {

bool PowerCopyDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool CopyFilesDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool RestoreFromBackupDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

// The directives and routines PowerCopy:: hands work to. PowerCopyDirective
// uses the program's own; a caller may put others in their place to watch
// what PowerCopy:: asks of them.
struct PowerCopyCalls {
  using Handler = std::function<bool(Session&, Lines, const std::wstring&, std::wstring&)>;
  // One ReplaceOverReboot:: line at a time, so each line's outcome is known.
  using Pender = std::function<PendOutcome(Session&, const std::wstring&, StagingSlots&, std::wstring&)>;
  using LockedCopier =
      std::function<LockedCopyResult(Session&, const std::wstring&, const std::wstring&, bool failIfExists)>;
  Handler takePermissions;
  Handler restorePermissions;
  Handler createDirectory;
  Pender pendReplacement;
  Handler reboot;
  LockedCopier copyLocked;

  static PowerCopyCalls Program();
};

bool PowerCopyWith(Session& s, Lines lines, const std::wstring& archive, std::wstring& report,
                   const PowerCopyCalls& calls);

}  // namespace corvex
