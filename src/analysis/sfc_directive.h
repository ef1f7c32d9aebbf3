// SFC:: runs System File Checker, the native one under WOW64.
#pragma once

#include <string>

#include "script/directive.h"

namespace corvex {

// The native sfc.exe: through Sysnative for a 32-bit process on 64-bit
// Windows, else System32.
std::wstring NativeSystemTool(Session& s, const std::wstring& exeName);

// No lines: "sfc /scannow". Otherwise one run per line, its switches with
// slashes ("scannow" and "\scannow" both become "/scannow"); stops at the
// first run that fails or ends with a non-zero exit code.
bool SfcDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
