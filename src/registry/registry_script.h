// RegistryScript:: imports registry-file text key block by key block, each
// backed up first and imported with its nearest existing key opened up,
// whose security (and that of every key the import made) is put back after.
// RegSet:: is accepted and does nothing.
#pragma once

#include <string>

#include "core/session.h"
#include "script/directive.h"

namespace corvex {

bool RegistryScriptDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool RegSetDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
