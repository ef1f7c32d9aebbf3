// Argument strings split as CommandLineToArgvW splits the words after the
// program's name.
#pragma once

#include <string>
#include <vector>

namespace corvex {

// Words are separated by spaces and tabs; double quotes group and are
// dropped; 2n backslashes before a quote give n backslashes, 2n + 1 give n
// and a literal quote; other backslashes are kept as they are.
std::vector<std::wstring> SplitCommandLine(const std::wstring& line);

}  // namespace corvex
