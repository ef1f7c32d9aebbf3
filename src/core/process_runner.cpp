#include "core/process_runner.h"

#include "core/session_log.h"
#include "base/text.h"

namespace corvex {

RunOutcome RunProcess(Session& s, const std::wstring& program, const std::wstring& commandLine,
                      const RunOptions& options) {
  platform::ProcessRequest request;
  request.program = s.os.env.Expand(program, 512);
  request.commandLine = commandLine;
  request.wait = options.wait;
  request.visible = options.visible;
  request.newConsole = options.newConsole;
  request.captureOutput = options.capture;
  request.workingFolder = options.workingFolder;
  RunOutcome outcome;
  auto result = s.os.processes.Run(request);
  if (!result.ok()) {
    outcome.startError = result.code();
    TraceErrorCode(s, result.code(),
                   L"Failed to create process " + request.program + L" with args " + commandLine +
                       L" with error code ");
    return outcome;
  }
  outcome.started = true;
  outcome.exitCode = result->exitCode;
  outcome.output = FromLatin1(result->output);
  outcome.readError = result->readError;
  outcome.waitError = result->waitError;
  if (outcome.readError)
    TraceErrorCode(s, outcome.readError,
                   L"Failed to read the output of process " + request.program + L" with error code ");
  if (outcome.waitError)
    TraceErrorCode(s, outcome.waitError,
                   L"Failed to wait for process " + request.program + L" to end with error code ");
  return outcome;
}

}  // namespace corvex
