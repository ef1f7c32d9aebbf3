// Replacement of files in use over a restart, and the continuation after it.
#pragma once

#include <string>

#include "script/directive.h"

namespace corvex {

bool ReplaceOverRebootDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
// Saves the rest of the script, the logs and the RunOnce value, and asks
// for the restart.
bool RebootDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool PostRebootCorruptionDetectionDirective(Session& s, Lines lines, const std::wstring& archive,
                                            std::wstring& report);
// The restart routine the entry runs once the reboot-required flag is set:
// the message box, the shutdown privilege and the restart. False when the
// restart could not be started (the reason is in the session log).
bool RestartWindows(Session& s);

}  // namespace corvex
