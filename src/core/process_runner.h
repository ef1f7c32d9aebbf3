// Starting child processes.
#pragma once

#include <cstdint>
#include <string>

#include "core/session.h"
#include "platform/result.h"

namespace corvex {

struct RunOptions {
  bool wait = true;
  bool visible = false;
  bool newConsole = false;
  bool capture = false;
  std::wstring workingFolder;
};

struct RunOutcome {
  bool started = false;
  uint32_t startError = 0;  // the code of the failed start
  uint32_t exitCode = 0;
  std::wstring output;      // captured bytes widened one by one
};

// Expands the program path, starts it with `commandLine` as given; a failed
// start is traced as "Failed to create process ...".
RunOutcome RunProcess(Session& s, const std::wstring& program, const std::wstring& commandLine,
                      const RunOptions& options = {});

}  // namespace corvex
