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
};

struct ProcessOutcome {
  uint32_t exitCode = 0;  // only meaningful when waited for
  std::string output;     // standard output and error, read to end of pipe
};

class Processes {
 public:
  virtual ~Processes() = default;
  // Failure carries the code of the failed start.
  virtual Result<ProcessOutcome> Run(const ProcessRequest& request) = 0;
};

}  // namespace corvex::platform
