// The list of scripts run on this machine, "%SystemDrive%\Corvex\ScriptList".
#pragma once

#include <string>

#include "core/session.h"

namespace corvex {

// Hashes the script and counts the earlier runs of it; "" when the script
// cannot be hashed.
std::wstring ScriptListCount(Session& s, const std::wstring& path);
// Appends this run's record: "TRUE", "FALSE" (nothing hashed) or "ERROR".
std::wstring ScriptListRecord(Session& s, const std::wstring& stamp);

}  // namespace corvex
