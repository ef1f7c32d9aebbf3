#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"

namespace corvex::win32 {

uint32_t ReadPipeToEnd(HANDLE pipe, std::string& out) {
  // A short read is just a piece; only zero bytes or the writers' going
  // (ERROR_BROKEN_PIPE) mean the end.
  std::vector<char> buffer(4096);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
      DWORD code = GetLastError();
      return code == ERROR_BROKEN_PIPE ? 0 : LastError().code;
    }
    if (read == 0) return 0;
    out.append(buffer.data(), read);
  }
}

uint32_t ReadPipeUntil(HANDLE pipe, HANDLE process, ULONGLONG deadline, std::string& out) {
  std::vector<char> buffer(4096);
  bool ended = false;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
      DWORD code = GetLastError();
      return code == ERROR_BROKEN_PIPE ? 0 : LastError().code;
    }
    if (available) {
      DWORD read = 0;
      DWORD want = available < buffer.size() ? available : static_cast<DWORD>(buffer.size());
      if (!::ReadFile(pipe, buffer.data(), want, &read, nullptr)) {
        DWORD code = GetLastError();
        return code == ERROR_BROKEN_PIPE ? 0 : LastError().code;
      }
      out.append(buffer.data(), read);
      continue;
    }
    // What the child wrote before it ended was in the pipe at the last look.
    if (ended) return 0;
    if (GetTickCount64() >= deadline) return ERROR_TIMEOUT;
    ended = WaitForSingleObject(process, 20) == WAIT_OBJECT_0;
  }
}

Result<uint32_t> WaitForExitCode(HANDLE process, uint32_t timeoutMs) {
  DWORD waited = WaitForSingleObject(process, timeoutMs ? timeoutMs : INFINITE);
  if (waited == WAIT_TIMEOUT && timeoutMs) {
    // Gone before we return, as far as Windows lets us know: the caller
    // may then release what it held for the child.
    TerminateProcess(process, ERROR_TIMEOUT);
    WaitForSingleObject(process, 30000);
    return Error{ERROR_TIMEOUT};
  }
  if (waited == WAIT_FAILED) return LastError();
  if (waited != WAIT_OBJECT_0) return Error{ERROR_GEN_FAILURE};
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return LastError();
  return static_cast<uint32_t>(code);
}

Result<platform::ProcessOutcome> Win32Processes::Run(const platform::ProcessRequest& request) {
  unique_handle readEnd, writeEnd;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (request.captureOutput) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) return LastError();
    // Only the child's end may be inherited, or the pipe never reports its end.
    if (!SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) return LastError();
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
  }

  DWORD flags = 0;
  if (!request.visible)
    flags = CREATE_NO_WINDOW;
  else if (request.newConsole)
    flags = CREATE_NEW_CONSOLE;

  // CreateProcessW may write into the command line, so it gets its own copy.
  std::vector<wchar_t> commandLine(request.commandLine.begin(), request.commandLine.end());
  commandLine.push_back(L'\0');

  PROCESS_INFORMATION info{};
  BOOL started = CreateProcessW(request.program.empty() ? nullptr : request.program.c_str(), commandLine.data(),
                                nullptr, nullptr, request.captureOutput ? TRUE : FALSE, flags, nullptr,
                                request.workingFolder.empty() ? nullptr : request.workingFolder.c_str(), &startup,
                                &info);
  if (!started) return LastError();
  unique_handle process(info.hProcess), thread(info.hThread);
  const ULONGLONG deadline = GetTickCount64() + request.timeoutMs;

  platform::ProcessOutcome outcome;
  if (request.captureOutput) {
    // Our copy of the write end must go, or reading never sees the end.
    writeEnd.reset();
    if (request.wait && request.timeoutMs) {
      outcome.readError = ReadPipeUntil(readEnd.get(), process.get(), deadline, outcome.output);
      // The wait below finds the limit passed and ends the child.
      if (outcome.readError == ERROR_TIMEOUT) outcome.readError = 0;
    } else {
      outcome.readError = ReadPipeToEnd(readEnd.get(), outcome.output);
    }
    // After a failed read nobody drains the pipe; closing it makes the
    // child's writes fail instead of blocking it, and the wait below, forever.
    readEnd.reset();
  }

  if (request.wait) {
    uint32_t limit = 0;
    if (request.timeoutMs) {
      // At least 1: 0 would mean no limit.
      ULONGLONG now = GetTickCount64();
      limit = now >= deadline ? 1 : static_cast<uint32_t>(deadline - now);
    }
    auto exitCode = WaitForExitCode(process.get(), limit);
    if (exitCode.ok())
      outcome.exitCode = *exitCode;
    else
      outcome.waitError = exitCode.code();
  } else {
    outcome.exitCode = STILL_ACTIVE;
  }
  return outcome;
}

}  // namespace corvex::win32
