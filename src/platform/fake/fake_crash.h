// The fake Windows' crash handling: a test fires a "crash" through the same
// guard and callback as the real handlers; dumps are small files with the
// minidump header, listed as written; Op::kWriteDump fails or crashes a dump
// write (the path part matches the dump's path).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/crash.h"
#include "platform/fake/fake_windows.h"

namespace corvex::fake {

// The fake process ending: thrown where the real handlers end the process,
// so nothing after the crash runs; tests catch it.
struct ProcessEnded {
  int exitCode;
};

class FakeCrashHandling : public platform::CrashHandling {
 public:
  explicit FakeCrashHandling(FakeWindows& w) : w_(w) {}

  // A fault on `thread`, as the real handlers meet it: ends the "process"
  // (ProcessEnded) unless another thread is handling a crash already, when
  // it records the thread as waiting and returns.
  void Fire(uint32_t thread = 1);

  bool installed = false;
  bool dumpWriter = true;  // false: no dbghelp.dll
  std::wstring currentFolder = L"C:\\Users\\Tester\\Downloads";
  // Recorded: dumps written, the exit code once the process ended, the
  // threads left waiting for it, the callback's runs.
  std::vector<std::wstring> dumps;
  int exitCode = -1;
  std::vector<uint32_t> waiting;
  int callbackRuns = 0;
  // The time each dump's header records (seconds); one more per dump.
  uint32_t dumpTime = 1'780'000'000;

  platform::Status Install(std::function<void()> onCrash) override;
  bool CanWriteDumps() override { return dumpWriter; }
  platform::Status WriteDump(const std::wstring& path) override;
  platform::Result<std::wstring> CurrentFolder() override { return currentFolder; }

 private:
  FakeWindows& w_;
  platform::CrashGuard guard_;
  std::function<void()> onCrash_;
};

}  // namespace corvex::fake
