// Child processes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace corvex::platform {

struct ProcessRequest {
  std::wstring program;      // application name, already expanded
  std::wstring commandLine;  // passed as given (callers start it with a space)
  bool wait = true;
  bool visible = false;      // false: CREATE_NO_WINDOW
  bool newConsole = false;   // with visible: CREATE_NEW_CONSOLE
  bool captureOutput = false;
  std::wstring workingFolder;  // empty: inherit
  // With wait: a child still running after this many milliseconds is
  // terminated and the outcome's waitError is kTimeout. 0: no limit.
  uint32_t timeoutMs = 0;
};

// ERROR_TIMEOUT: the child outlived its time limit and was terminated.
constexpr uint32_t kTimeout = 1460;

struct ProcessOutcome {
  uint32_t exitCode = 0;  // only meaningful when waited for and waitError is 0
  std::string output;     // standard output and error, read to end of pipe
  // The child started, but waiting for it or asking its exit code failed:
  // how it ended is unknown.
  uint32_t waitError = 0;
  // Reading the captured output failed before the pipe's end: `output`
  // holds what came before.
  uint32_t readError = 0;
};

class Processes {
 public:
  virtual ~Processes() = default;
  // Failure carries the code of the failed start; once the child has
  // started, later failures are in the outcome.
  virtual Result<ProcessOutcome> Run(const ProcessRequest& request) = 0;
};

}  // namespace corvex::platform
