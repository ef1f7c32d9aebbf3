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
  // With wait: milliseconds before a child still running is terminated,
  // which is a failure (waitError platform::kTimeout). 0: no limit.
  uint32_t timeoutMs = 0;
};

struct RunOutcome {
  bool started = false;
  uint32_t startError = 0;  // the code of the failed start
  // Started, but waiting for it or asking its exit code failed: how it ended
  // is unknown and exitCode means nothing.
  uint32_t waitError = 0;
  // Reading the captured output failed: `output` holds what came before.
  uint32_t readError = 0;
  uint32_t exitCode = 0;
  std::wstring output;      // captured bytes widened one by one

  // For a child that was waited for: 0 when it started, ended with exit
  // code 0 and had its output (if captured) read whole; else the code of
  // the first of these that went wrong.
  uint32_t Failure() const {
    if (!started) return startError;
    if (waitError) return waitError;
    if (readError) return readError;
    return exitCode;
  }
};

// Expands the program path, starts it with `commandLine` as given; a failed
// start is traced as "Failed to create process ...", a failed wait or read
// of its output as well.
RunOutcome RunProcess(Session& s, const std::wstring& program, const std::wstring& commandLine,
                      const RunOptions& options = {});

// The same without the session, for worker threads: `program` is started
// as given (not expanded) and nothing is traced; the caller reports the
// outcome.
RunOutcome RunProcessUntraced(platform::Processes& processes, const std::wstring& program,
                              const std::wstring& commandLine, const RunOptions& options = {});

}  // namespace corvex
