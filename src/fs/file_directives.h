// The smaller file directives: folder trees, hard links, deletion by
// pattern, the store-flags placeholder and the volume-wide file scan.
#pragma once

#include <string>

#include "script/directive.h"

namespace corvex {

bool CreateDirectoryDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool CreateHardlinkDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool DeleteDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool CheckStoreFlagsDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool FileScanDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
