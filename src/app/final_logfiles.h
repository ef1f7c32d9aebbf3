#pragma once

#include "core/session.h"

namespace corvex {

// Writes the session log to the Desktop and under "%SystemDrive%\Corvex",
// the trace when asked for, and opens them in Notepad. False when a Desktop
// write or a Notepad start failed.
bool FinalLogfiles(Session& s);

}  // namespace corvex
