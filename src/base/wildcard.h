// Wildcard matching as FindFirstFileW does it for the patterns scripts use:
// '*' any run, '?' one character, case-insensitive, and "*.*" matching names
// without a dot too.
#pragma once

#include <string>

namespace corvex {

bool WildcardMatch(const std::wstring& pattern, const std::wstring& name);

}  // namespace corvex
