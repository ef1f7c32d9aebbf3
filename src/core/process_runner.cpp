#include "core/process_runner.h"

#include "core/session_log.h"
#include "base/text.h"

namespace corvex {

RunOutcome RunProcessUntraced(platform::Processes& processes, const std::wstring& program,
                              const std::wstring& commandLine, const RunOptions& options) {
  platform::ProcessRequest request;
  request.program = program;
  request.commandLine = commandLine;
  request.wait = options.wait;
  request.visible = options.visible;
  request.newConsole = options.newConsole;
  request.captureOutput = options.capture;
  request.workingFolder = options.workingFolder;
  request.timeoutMs = options.timeoutMs;
  RunOutcome outcome;
  auto result = processes.Run(request);
  if (!result.ok()) {
    outcome.startError = result.code();
    return outcome;
  }
  outcome.started = true;
  outcome.exitCode = result->exitCode;
  outcome.output = FromLatin1(result->output);
  outcome.readError = result->readError;
  outcome.waitError = result->waitError;
  return outcome;
}

RunOutcome RunProcess(Session& s, const std::wstring& program, const std::wstring& commandLine,
                      const RunOptions& options) {
  const std::wstring expanded = s.os.env.Expand(program, 512);
  RunOutcome outcome = RunProcessUntraced(s.os.processes, expanded, commandLine, options);
  if (!outcome.started) {
    TraceErrorCode(s, outcome.startError,
                   L"Failed to create process " + expanded + L" with args " + commandLine + L" with error code ");
    return outcome;
  }
  if (outcome.readError)
    TraceErrorCode(s, outcome.readError, L"Failed to read the output of process " + expanded + L" with error code ");
  if (outcome.waitError == platform::kTimeout)
    TraceError(s, L"Process " + expanded + L" was still running after " + Decimal(uint64_t{options.timeoutMs}) +
                      L" ms and was terminated.");
  else if (outcome.waitError)
    TraceErrorCode(s, outcome.waitError,
                   L"Failed to wait for process " + expanded + L" to end with error code ");
  return outcome;
}

}  // namespace corvex
