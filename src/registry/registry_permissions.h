// Taking and restoring the security of registry keys: the key's owner and
// DACL are recorded as a datablock, the key is opened up to Everyone through
// an intermediary ownership by the process's own user, and the record is
// written back afterwards.
#pragma once

#include <string>

#include "core/session.h"
#include "script/directive.h"

namespace corvex {

// "O:WDD:PAI(A;CI;KA;;;WD)": Everyone owns the key and may do anything,
// and keys made below it inherit that.
constexpr wchar_t kLooseKeySecurity[] = L"O:WDD:PAI(A;CI;KA;;;WD)";

bool RegistryTakePermissionsDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool RegistryRestorePermissionsDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
