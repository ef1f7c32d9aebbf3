// The copy phase of PowerCopy::: backups, the copies, destinations in use
// pended for the next start, permissions put back, and the hand-over to
// Reboot::.
#pragma once

#include <string>

#include "fs/powercopy.h"
#include "fs/powercopy_check.h"

namespace corvex {

// Runs the copy phase over what the checking walk left; returns false when
// any step failed. The permission list is restored at the end, apart from
// the destinations whose restore waits for the next start.
bool RunCopyPhase(Session& s, CopyMode mode, CheckedLines& checked, const std::wstring& archive,
                  const PowerCopyCalls& calls, bool resultSoFar, std::wstring& report);

// The text of Reboot_Pre_Script: the hash records and the permission paths
// the next start works through first.
std::wstring PreScriptText(const Lines& hashRecords, const Lines& permissionPaths);

}  // namespace corvex
