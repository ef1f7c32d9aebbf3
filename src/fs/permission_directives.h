// The directives that change and restore the ownership and permissions of
// protected files and folders. Other handlers call them directly with lines
// they build, "[MODE:1]" first for quiet success.
#pragma once

#include <string>

#include "script/directive.h"

namespace corvex {

// Gives each path to TrustedInstaller.
bool TrustedInstallerDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
// Records each path's owner and DACL as a datablock (the first record is
// kept), then opens the object to Everyone.
bool TakePermissionsDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
// Puts each path's recorded DACL and owner back. Also PostRebootRestorePermissions::.
bool RestorePermissionsDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
// Rebuilds a component-store file's security from its component manifest,
// for the file and all its hard links; a folder line repairs its files.
bool RepairPermissionsDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
