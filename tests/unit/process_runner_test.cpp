#include "core/process_runner.h"

#include <gtest/gtest.h>

#include "fs/datablocks.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

// A child that ran, with what the backend saw of its end.
platform::ProcessOutcome Ended(uint32_t exitCode, uint32_t waitError, uint32_t readError) {
  return platform::ProcessOutcome{exitCode, "partial", waitError, readError};
}

TEST(RunProcess, AnEndThatWasNotSeenIsAFailure) {
  struct Case {
    uint32_t exitCode, waitError, readError, failure;
  };
  const Case cases[] = {{0, 0, 0, 0}, {3, 0, 0, 3}, {0, 6, 0, 6}, {0, 0, 110, 110}, {0, 5, 110, 5}};
  for (const Case& c : cases) {
    FakeSession f;
    f.w.OnProcess(L"child.exe", [&](const platform::ProcessRequest&) {
      return Ended(c.exitCode, c.waitError, c.readError);
    });
    RunOptions capture;
    capture.capture = true;
    RunOutcome run = RunProcess(f.s, L"C:\\Tools\\child.exe", L" /x", capture);
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.Failure(), c.failure) << c.failure;
    EXPECT_EQ(run.output, L"partial") << "what was read before a failure is kept";
  }
  // A program that never started: RestorePermissions.IcaclsFailuresAndTheNullOwner and
  // CreateDataBlocksDirective.FailuresOfIcaclsAndItsFile.
}

TEST(RunProcess, AProgramPathLongerThanTheFirstBufferIsExpandedWhole) {
  FakeSession f;
  const std::wstring deep = L"C:\\" + std::wstring(300, L'a') + L"\\" + std::wstring(300, L'b');
  f.w.SetEnv(L"CorvexTools", deep);
  f.w.OnProcess(L"child.exe", [](const platform::ProcessRequest&) { return platform::ProcessOutcome{}; });
  EXPECT_TRUE(RunProcess(f.s, L"%CorvexTools%\\child.exe", L"").started);
  ASSERT_EQ(f.w.processesRun.size(), 1u);
  EXPECT_EQ(f.w.processesRun[0].program, deep + L"\\child.exe");
}

TEST(RunProcess, AnIcaclsWhoseEndIsUnknownStoresNoDatablock) {
  FakeSession f;
  f.w.AddFile(L"C:\\Windows\\System32\\corvex.dll", "MZ");
  f.w.OnProcess(L"icacls.exe", [](const platform::ProcessRequest&) { return Ended(0, 6, 0); });
  EXPECT_EQ(AddFileDataBlock(f.s, L"C:\\Windows\\System32\\corvex.dll", L""), datablock::kIcaclsFailed);
}

}  // namespace
}  // namespace corvex
