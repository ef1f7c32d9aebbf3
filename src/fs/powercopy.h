// Replacing protected files: PowerCopy:: with its blocking rules, backups
// and hand-over to the replacement over reboot; the plain CopyFiles:: and
// RestoreFromBackup::.
#pragma once

#include <string>

#include "script/directive.h"

namespace corvex {

bool PowerCopyDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool CopyFilesDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool RestoreFromBackupDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
