// One start of the program: console set-up, session start or continuation,
// script, dispatch, session finish. Always returns 0.
#pragma once

#include <string>
#include <vector>

#include "core/session.h"

namespace corvex {

// argv[0] is the program path; the rest are the arguments.
int RunProgram(Session& s, std::vector<std::wstring> argv);

}  // namespace corvex
