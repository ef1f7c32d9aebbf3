// The five directives that manage the datablock store directly.
#pragma once

#include <string>

#include "script/directive.h"

namespace corvex {

// Complete file records, one a line; a key already stored is not added.
bool DataBlockDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
// Paths whose DACL (icacls /save) and owner are captured and stored.
bool CreateDataBlocksDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
// The records of the paths, or with no lines the whole store, are deleted.
bool DeleteDataBlocksDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
// The records of the paths, or with no lines the whole store, are reported.
bool PrintDataBlocksDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool CountDataBlocksDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
