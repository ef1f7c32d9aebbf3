// The files the program rewrites outlive the run: the Desktop log, its
// dated copy and the script list under %SystemDrive%\Corvex, the datablock
// store and the continuation files. A write that fails or is cut short by
// a crash must leave each with its old bytes or its complete new ones.
//
// Each case runs the program once per step it takes, dying at that step
// (the countdown SQLite's crash tests use), then once per write with that
// write failing or dying part way, and looks at the files after each.
//
// Appends are another matter: a failed append keeps what was there and may
// leave part of the new text after it, which is all the file system offers.
#include <gtest/gtest.h>

#include <functional>

#include "app/entry.h"
#include "security_test_support.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using fake::SimulatedCrash;
using fake::WriteFault;
using namespace testing;

const std::wstring kDatedLog = L"C:\\Corvex\\Corvex (2026-12-06 09'30'15.250).log";
const std::wstring kScriptList = L"C:\\Corvex\\ScriptList";

struct CrashCase {
  std::function<void(FakeSession&)> setup;
  std::vector<std::wstring> args;
  std::vector<std::wstring> files;
};

std::string State(const fake::FakeWindows& w, const std::wstring& path) {
  return w.Exists(path) ? "[" + w.FileBytes(path) + "]" : "<missing>";
}

// Runs the program on a fresh fake prepared by the case, with `arm` setting
// the fault (without one, only the case's files are read); true when it died.
bool RunOnce(const CrashCase& c, const std::function<void(fake::FakeWindows&)>& arm, std::vector<std::string>& states,
             bool* faultLeft = nullptr) {
  FakeSession f;
  c.setup(f);
  bool crashed = false;
  if (arm) {
    arm(f.w);
    try {
      RunProgram(f.s, c.args);
    } catch (const SimulatedCrash&) {
      crashed = true;
    }
  }
  states.clear();
  for (auto& file : c.files) states.push_back(State(f.w, file));
  if (faultLeft) *faultLeft = f.w.PendingFaults() != 0;
  return crashed;
}

void ExpectEachFileOldOrNew(const CrashCase& c) {
  std::vector<std::string> before, after, now;
  RunOnce(c, nullptr, before);
  RunOnce(c, [](fake::FakeWindows&) {}, after);
  for (size_t i = 0; i < c.files.size(); ++i) ASSERT_NE(before[i], after[i]) << "the run must rewrite it";
  auto check = [&](const std::string& where) {
    for (size_t i = 0; i < c.files.size(); ++i)
      EXPECT_TRUE(now[i] == before[i] || now[i] == after[i])
          << ::testing::PrintToString(c.files[i]) << " after " << where << " holds " << now[i];
  };
  int steps = 0;
  for (;; ++steps) {
    bool crashed = RunOnce(c, [&](fake::FakeWindows& w) { w.InjectCrash(Op::kAny, L"", steps); }, now);
    check("a crash at step " + std::to_string(steps));
    if (!crashed || steps > 5000) break;
  }
  EXPECT_GT(steps, 10) << "the countdown reached the end of the run";
  for (WriteFault kind : {WriteFault::kFailAfter, WriteFault::kCrashAfter})
    for (size_t keep : {size_t{0}, size_t{3}})
      for (int write = 0;; ++write) {
        bool left = false;
        RunOnce(c, [&](fake::FakeWindows& w) { w.InjectWriteFault(kind, L"", keep, 112, write); }, now, &left);
        check((kind == WriteFault::kFailAfter ? "a failed write " : "a crash in write ") + std::to_string(write) +
              " after " + std::to_string(keep) + " bytes");
        if (left || write > 200) break;
      }
}

TEST(CrashSurvival, TheEndOfASessionRewritesItsLogsWholeOrNotAtAll) {
  auto setup = [](FakeSession& f) {
    f.w.AddFile(L"C:\\fix.txt", "Debug::\r\nNo cbs\r\n");
    f.w.AddFile(kDesktopLog, Utf16Bom(L"an earlier session's log"));
    f.w.AddFile(kDatedLog, Utf16Bom(L"a log of the same millisecond"));
    f.w.AddFile(kScriptList, "2026-01-01 00'00'00.000 - earlier [0]\r\n");
  };
  ExpectEachFileOldOrNew({setup, {kExe, L"C:\\fix.txt"}, {kDesktopLog, kDatedLog, kScriptList}});
}

TEST(CrashSurvival, ADatablockStoreIsReplacedWhole) {
  auto setup = [](FakeSession& f) {
    f.w.security().AddProtectedFile(kFile, "x");
    f.w.AddFile(L"C:\\fix.txt", "TakePermissions::\r\n" + ToLatin1(kFile) + "\r\n");
    f.w.AddFile(kWork + L"\\DataBlocks", Utf16Bom(L"C:\\old.dll|D:(A;;FA;;;BA)|S-1-5-18"));
  };
  ExpectEachFileOldOrNew({setup, {kExe, L"C:\\fix.txt"}, {kWork + L"\\DataBlocks"}});
}

TEST(CrashSurvival, TheLogsSavedForAHandOverAreWholeOrTheOldOnes) {
  auto setup = [](FakeSession& f) {
    f.w.AddFile(kWork + L"\\Reboot_Neat_Log", Utf16Bom(L"the log so far\r\n"));
    f.w.AddFile(kWork + L"\\Reboot_Debug_Log", Utf16Bom(L"the trace so far\r\n"));
    f.w.AddFile(kWork + L"\\Reboot_Script", Utf16Bom(L"Debug::\r\n"));
    f.s.idRestart = true;
    const std::wstring copy = kWork + L"\\Temp\\_CorvexID.exe";
    f.w.AddFile(copy, "MZ copy");
    f.s.idCopyHold = std::move(*f.s.os.fs.Open(copy, platform::access::kRead, platform::share::kRead,
                                               platform::Disposition::kOpenExisting));
    f.w.OnProcess(L"_CorvexID.exe", [](const platform::ProcessRequest&) { return platform::ProcessOutcome{}; });
    f.s.trace = L"this start's trace\r\n";
  };
  ExpectEachFileOldOrNew({setup, {kExe}, {kWork + L"\\Reboot_Neat_Log", kWork + L"\\Reboot_Debug_Log"}});
}

}  // namespace
}  // namespace corvex
