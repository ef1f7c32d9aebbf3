#pragma once

#include "core/session.h"
#include "platform/result.h"

namespace corvex {

// Closes the session log: "Corvex version " + version + " by Tallwen " +
// `how` + ".", the stored datablocks, the finish time, the script hash when
// there is one, and the end marker. The normal end and a crash differ only
// in `how`.
void AppendSessionFooter(Session& s, const std::wstring& how);

// Writes the session log to the Desktop and under "%SystemDrive%\Corvex",
// the trace when asked for, and opens them in Notepad. False when a Desktop
// write or a Notepad start failed.
bool FinalLogfiles(Session& s);

// Replaces a log file (UTF-16LE with a byte-order mark) whole, through a
// temporary file moved over it: a failed or interrupted write leaves the
// earlier file, never a truncated one. The path is expanded first.
platform::Status ReplaceLogFile(Session& s, const std::wstring& path, const std::wstring& text);

}  // namespace corvex
