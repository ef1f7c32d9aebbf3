// One start of the program: console set-up, session start or continuation,
// script, dispatch, session finish. Always returns 0.
#pragma once

#include <string>
#include <vector>

#include "core/session.h"
#include "online/update_check.h"

namespace corvex {

// The update check run once the program's facts are known
// (online::CheckForUpdates in the program).
using UpdateCheck = online::UpdateOutcome (*)(Session&, const std::vector<std::wstring>&);

// argv[0] is the program path; the rest are the arguments. Without an
// update check the run goes straight on, as the tests of the other steps
// want it.
// The registry flash scan likewise (RunOnlineFlashScan in the program).
using FlashScan = bool (*)(Session&);
int RunProgram(Session& s, std::vector<std::wstring> argv, UpdateCheck check = nullptr, FlashScan scan = nullptr);

}  // namespace corvex
