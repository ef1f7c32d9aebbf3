#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"

namespace corvex::win32 {

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

  platform::ProcessOutcome outcome;
  if (request.captureOutput) {
    // Our copy of the write end must go, or reading never sees the end.
    writeEnd.reset();
    // A short read is just a piece; only failure or zero bytes mean the end.
    char buffer[4096];
    for (;;) {
      DWORD read = 0;
      if (!::ReadFile(readEnd.get(), buffer, sizeof buffer, &read, nullptr) || read == 0) break;
      outcome.output.append(buffer, read);
    }
  }

  if (request.wait) {
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(process.get(), &code)) outcome.exitCode = code;
  } else {
    outcome.exitCode = STILL_ACTIVE;
  }
  return outcome;
}

}  // namespace corvex::win32
