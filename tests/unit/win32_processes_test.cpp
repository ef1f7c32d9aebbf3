#ifdef _WIN32

#include <gtest/gtest.h>

#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

using testing::SystemFolder;
using testing::TempFolder;

platform::ProcessRequest Cmd(const std::wstring& arguments, bool capture = true) {
  platform::ProcessRequest r;
  r.program = SystemFolder() + L"\\cmd.exe";
  // Callers start the command line with a space after the program.
  r.commandLine = L" /c " + arguments;
  r.captureOutput = capture;
  return r;
}

std::string TrimEnd(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

TEST(Win32Processes, CapturesBothStreamsAndTheExitCode) {
  const struct {
    const wchar_t* arguments;
    bool capture;
    std::string output;
    uint32_t exitCode;
  } cases[] = {
      {L"echo hello corvex", true, "hello corvex", 0},
      {L"echo to-error 1>&2", true, "to-error", 0},
      {L"exit 7", true, "", 7},
      {L"exit 3", false, "", 3},
  };
  Win32Processes p;
  for (const auto& c : cases) {
    auto r = p.Run(Cmd(c.arguments, c.capture));
    ASSERT_TRUE(r.ok()) << r.code();
    EXPECT_EQ(TrimEnd(r->output), c.output) << c.arguments;
    EXPECT_EQ(r->exitCode, c.exitCode) << c.arguments;
    EXPECT_EQ(r->readError, 0u) << "the writer's going is the end, not a failed read";
  }
}

TEST(Win32Processes, ReadsOutputToTheEndPastThePipeBuffer) {
  Win32Processes p;
  // Output from a file much larger than the pipe buffer, typed in one go.
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  std::string big;
  for (int i = 0; i < 5000; ++i) big += "line " + std::to_string(i) + "\r\n";
  ASSERT_TRUE(testing::RawWrite(tmp / L"big.txt", big));
  auto r = p.Run(Cmd(L"type \"" + (tmp / L"big.txt") + L"\""));
  ASSERT_TRUE(r.ok()) << r.code();
  EXPECT_EQ(r->output, big);
}

TEST(Win32Processes, AMissingProgramFailsToStartWithItsCode) {
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  platform::ProcessRequest r;
  r.program = tmp / L"no-such-program.exe";
  r.commandLine = L" /x";
  Win32Processes p;
  EXPECT_EQ(p.Run(r).code(), 2u);
  r.captureOutput = true;
  EXPECT_EQ(p.Run(r).code(), 2u);
  r.program = tmp / L"no-folder\\no-such-program.exe";
  EXPECT_EQ(p.Run(r).code(), 3u);
}

TEST(Win32Processes, AFailedPipeReadIsReported) {
  // A handle that cannot be read at all gives its code, not an empty end.
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  unique_hfile writeOnly(CreateFileW((tmp / L"w.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(writeOnly);
  std::string none;
  EXPECT_EQ(ReadPipeToEnd(writeOnly.get(), none), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(none, "");
}

TEST(Win32Processes, AFailedWaitOrExitCodeQueryIsAFailureNotExitCode0) {
  EXPECT_EQ(WaitForExitCode(nullptr).code(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));

  std::wstring commandLine = L" /c exit 5";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessW((SystemFolder() + L"\\cmd.exe").c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                             CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info));
  unique_handle process(info.hProcess), thread(info.hThread);
  // Handles to the same child that lack the right each step needs.
  unique_handle noSync(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, info.dwProcessId));
  unique_handle noQuery(OpenProcess(SYNCHRONIZE, FALSE, info.dwProcessId));
  ASSERT_TRUE(noSync && noQuery);
  EXPECT_EQ(WaitForExitCode(noSync.get()).code(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(WaitForExitCode(noQuery.get()).code(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(WaitForExitCode(process.get()).value_or(0), 5u);
}

// A child past its limit is terminated and gone when the wait returns; a
// read with a limit stops at it, or at the child's end even while a
// grandchild keeps the pipe open.
TEST(Win32Processes, AChildPastItsLimitIsTerminatedAndTheReadStops) {
  std::wstring commandLine = L" /c exit 0";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // Suspended, it never ends on its own.
  ASSERT_TRUE(CreateProcessW((SystemFolder() + L"\\cmd.exe").c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                             CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup, &info));
  unique_handle process(info.hProcess), thread(info.hThread);
  EXPECT_EQ(WaitForExitCode(process.get(), 100).code(), static_cast<uint32_t>(ERROR_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));

  unique_handle readEnd, writeEnd, running(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(CreatePipe(readEnd.put(), writeEnd.put(), nullptr, 0));
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(writeEnd.get(), "before", 6, &written, nullptr));
  std::string out;
  EXPECT_EQ(ReadPipeUntil(readEnd.get(), running.get(), GetTickCount64() + 100, out),
            static_cast<uint32_t>(ERROR_TIMEOUT));
  EXPECT_EQ(out, "before");
  ASSERT_TRUE(::WriteFile(writeEnd.get(), " after", 6, &written, nullptr));
  ASSERT_TRUE(SetEvent(running.get()));
  EXPECT_EQ(ReadPipeUntil(readEnd.get(), running.get(), GetTickCount64() + 60000, out), 0u);
  EXPECT_EQ(out, "before after");
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
