#include "analysis/sfc_directive.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

TEST(SfcDirective, RunsTheNativeSfcWithSlashedSwitchesAndStopsAtTheFirstFailure) {
  struct Row {
    bool wow64;
    Lines lines;
    std::vector<uint32_t> exitCodes;
    bool ok;
    std::wstring program;
    std::vector<std::wstring> commandLines;
  } rows[] = {
      {false, {}, {0}, true, L"C:\\Windows\\System32\\sfc.exe", {L" /scannow"}},
      // A 32-bit process on 64-bit Windows would meet the 32-bit sfc.
      {true, {L" scannow ", L"\\verifyonly", L"/VERIFYFILE=c:\\windows\\a.dll"}, {0, 0, 0}, true,
       L"C:\\Windows\\Sysnative\\sfc.exe", {L" /scannow", L" /verifyonly", L" /VERIFYFILE=c:/windows/a.dll"}},
      {false, {L"scannow", L"verifyonly"}, {2, 0}, false, L"C:\\Windows\\System32\\sfc.exe", {L" /scannow"}},
  };
  for (const Row& r : rows) {
    FakeSession f;
    f.w.wow64 = r.wow64;
    size_t run = 0;
    f.w.OnProcess(L"sfc.exe", [&](const platform::ProcessRequest&) {
      platform::ProcessOutcome out;
      out.exitCode = r.exitCodes[run++];
      return out;
    });
    std::wstring report;
    EXPECT_EQ(SfcDirective(f.s, r.lines, L"", report), r.ok);
    ASSERT_EQ(f.w.processesRun.size(), r.commandLines.size());
    for (size_t i = 0; i < r.commandLines.size(); ++i) {
      EXPECT_TRUE(IEquals(f.w.processesRun[i].program, r.program)) << f.w.processesRun[i].program;
      EXPECT_EQ(f.w.processesRun[i].commandLine, r.commandLines[i]);
      EXPECT_TRUE(f.w.processesRun[i].visible && f.w.processesRun[i].wait && !f.w.processesRun[i].newConsole);
    }
    EXPECT_EQ(report.empty(), r.ok) << report;
  }
}

}  // namespace
}  // namespace corvex
