#ifdef _WIN32

#include <gtest/gtest.h>

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

TEST(Win32Processes, CapturesWhatTheChildPrints) {
  Win32Processes p;
  auto r = p.Run(Cmd(L"echo hello corvex"));
  ASSERT_TRUE(r.ok()) << r.code();
  EXPECT_EQ(r->output, "hello corvex\r\n");
  EXPECT_EQ(r->exitCode, 0u);
}

TEST(Win32Processes, CapturesStandardErrorToo) {
  Win32Processes p;
  auto r = p.Run(Cmd(L"echo to-error 1>&2"));
  ASSERT_TRUE(r.ok()) << r.code();
  EXPECT_EQ(TrimEnd(r->output), "to-error");
}

TEST(Win32Processes, ReturnsTheExitCodeOfTheChild) {
  Win32Processes p;
  auto r = p.Run(Cmd(L"exit 7"));
  ASSERT_TRUE(r.ok()) << r.code();
  EXPECT_EQ(r->exitCode, 7u);
  auto quiet = p.Run(Cmd(L"exit 3", false));
  ASSERT_TRUE(quiet.ok());
  EXPECT_EQ(quiet->exitCode, 3u);
  EXPECT_EQ(quiet->output, "");
}

TEST(Win32Processes, ReadsOutputWrittenInManySmallPiecesToTheEnd) {
  // Each echo is its own write, so most reads come back short; the total is
  // well past one 4096-byte block.
  Win32Processes p;
  auto r = p.Run(Cmd(L"\"for /L %i in (1,1,600) do @echo 0123456789\""));
  ASSERT_TRUE(r.ok()) << r.code();
  std::string line = "0123456789\r\n";
  EXPECT_EQ(r->output.size(), 600 * line.size());
  size_t lines = 0;
  for (size_t pos = 0; pos + line.size() <= r->output.size(); pos += line.size()) {
    if (r->output.compare(pos, line.size(), line) != 0) break;
    ++lines;
  }
  EXPECT_EQ(lines, 600u);
}

TEST(Win32Processes, ReadsOneLargeBurstWhole) {
  // Output from a file much larger than the pipe buffer, typed in one go.
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  std::string big;
  for (int i = 0; i < 5000; ++i) big += "line " + std::to_string(i) + "\r\n";
  ASSERT_TRUE(testing::RawWrite(tmp / L"big.txt", big));
  Win32Processes p;
  auto r = p.Run(Cmd(L"type \"" + (tmp / L"big.txt") + L"\""));
  ASSERT_TRUE(r.ok()) << r.code();
  EXPECT_EQ(r->output, big);
}

TEST(Win32Processes, StartsInTheRequestedWorkingFolder) {
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  auto request = Cmd(L"cd");
  request.workingFolder = tmp.path();
  Win32Processes p;
  auto r = p.Run(request);
  ASSERT_TRUE(r.ok()) << r.code();
  std::string expected;
  for (wchar_t c : tmp.path()) expected.push_back(static_cast<char>(c));
  EXPECT_EQ(_stricmp(TrimEnd(r->output).c_str(), expected.c_str()), 0) << r->output;
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

TEST(Win32Processes, WithoutWaitingReportsTheChildStillActive) {
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  auto request = Cmd(L"echo done> \"" + (tmp / L"marker.txt") + L"\"", false);
  request.wait = false;
  Win32Processes p;
  auto r = p.Run(request);
  ASSERT_TRUE(r.ok()) << r.code();
  EXPECT_EQ(r->exitCode, 259u);
  // The child did run on its own.
  for (int i = 0; i < 200 && testing::RawRead(tmp / L"marker.txt") != "done\r\n"; ++i) Sleep(50);
  EXPECT_EQ(testing::RawRead(tmp / L"marker.txt"), "done\r\n");
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
