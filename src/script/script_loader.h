// Where the script comes from: a .txt file, a .zip archive with or without
// "Corvex.txt", or the built-in automatic analysis.
#pragma once

#include <string>
#include <vector>

#include "core/session.h"

namespace corvex {

bool LoadScript(Session& s, const std::vector<std::wstring>& argv, std::wstring& script, std::wstring& archive);

// Extracts the zip into the Archive working folder. Returns an error text,
// empty on success; `textScript` is the archive's "Corvex.txt" or, when it
// has none, the zip path itself.
std::wstring ExtractArchive(Session& s, const std::wstring& zipPath, std::wstring& textScript,
                            std::wstring& archive);

}  // namespace corvex
