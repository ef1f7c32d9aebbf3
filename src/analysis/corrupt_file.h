// Registration of a damaged store file for the repair stages.
#pragma once

#include <string>

#include "core/session.h"

namespace corvex {

// %SystemRoot%\winsxs\<directory>\<file>: recorded (and counted as
// detected) when its digest differs from the one its manifest declares, or
// the manifest's cannot be had ("UNKNOWN", never taken for a match). True
// when a record was added.
bool RegisterCorruptFile(Session& s, const std::wstring& directory, const std::wstring& file);

}  // namespace corvex
