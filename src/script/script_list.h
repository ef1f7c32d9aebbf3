// The list of scripts run on this machine, "%SystemDrive%\Corvex\ScriptList":
// 8-bit text, one record a line.
#pragma once

#include <string>

#include "core/session.h"

namespace corvex {

// Hashes the script and counts the earlier runs of it; "" when the script
// cannot be hashed.
std::wstring ScriptListCount(Session& s, const std::wstring& path);

enum class ScriptListRecordResult { kRecorded, kNothingHashed, kWriteFailed };
// Appends this run's record: stamp + " - " + hash + " [" + count + "]".
ScriptListRecordResult ScriptListRecord(Session& s, const std::wstring& stamp);

}  // namespace corvex
