// CopyLockedFile:: copies files through a fresh shadow copy; VSS:: looks
// for intact component-store files in the shadow copies that exist.
#pragma once

#include <string>

#include "script/directive.h"

namespace corvex {

bool CopyLockedFileDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool VssDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
