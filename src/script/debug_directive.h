#pragma once

#include "script/directive.h"

namespace corvex {

// Debug:: sets the save-debug-log flag and the skip mask.
bool DebugDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
