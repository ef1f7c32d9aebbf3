// The facts a run cannot do without: a failure to learn one ends the run
// with a sentence before anything is touched, and is never read as a value.
#include <gtest/gtest.h>

#include "app/entry.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::kExe;
using testing::kWork;

using testing::FakeSession;

TEST(StartFacts, AFactThatCannotBeLearntEndsTheRunBeforeAnythingIsTouched) {
  struct Case {
    fake::Op op;
    const wchar_t* part;
    uint32_t code;
    const wchar_t* sentence;
  };
  const Case cases[] = {
      {fake::Op::kSystemFact, L"Version", 87,
       L"Failed to read the Windows version with error code ERROR_INVALID_PARAMETER."},
      {fake::Op::kSystemFact, L"Wow64", 6,
       L"Failed to find out whether this program runs under WOW64 with error code ERROR_INVALID_HANDLE."},
      {fake::Op::kKnownFolder, L"LocalAppData", 0x80070002,
       L"Failed to find the local application data folder with error code 0x80070002."},
      {fake::Op::kSystemFact, L"ModuleFileName", 122,
       L"Failed to read the path of this program with error code 0x7A."},
  };
  for (const Case& c : cases) {
    FakeSession f;
    f.w.AddFile(kWork + L"\\Temp\\left-over.bin", "x");
    f.w.AddFile(L"C:\\fix.txt", "Debug::\r\n");
    f.w.InjectFault(c.op, c.part, c.code);
    EXPECT_EQ(RunProgram(f.s, {kExe, L"C:\\fix.txt"}), 0);
    EXPECT_EQ(f.w.ConsoleText(), std::wstring(c.sentence) + L"\nPress any key to exit . . . ") << c.part;
    EXPECT_EQ(f.w.keysRead, 1) << c.part;
    EXPECT_TRUE(f.w.Exists(kWork + L"\\Temp\\left-over.bin")) << c.part << ": the working folders stay as they were";
    EXPECT_FALSE(f.w.Exists(L"C:\\Users\\Tester\\Desktop\\Corvex.txt")) << c.part;
    EXPECT_EQ(f.s.log, L"") << c.part;
  }
}

TEST(StartFacts, AnUnreadableProgramVersionIsLeftUnknown) {
  FakeSession f;
  f.w.AddFile(L"C:\\fix.txt", "Debug::\r\n");
  f.w.InjectFault(fake::Op::kSystemFact, L"FileVersion", 1813);
  RunProgram(f.s, {kExe, L"C:\\fix.txt"});
  EXPECT_FALSE(f.s.versionKnown);
  EXPECT_TRUE(StartsWith(f.s.log, L"Corvex version  by Tallwen.\r\n"));
}

TEST(StartFacts, TheLocalAppDataFolderIsFoundOnceAndKept) {
  FakeSession f;
  ASSERT_EQ(FindLocalAppData(f.s).value_or(L"?"), L"C:\\Users\\Tester\\AppData\\Local");
  f.w.InjectFault(fake::Op::kKnownFolder, L"LocalAppData", 5, -1);
  EXPECT_EQ(WorkingFolder(f.s), kWork) << "not asked again, so it cannot turn into \"\\Tallwen\"";
  EXPECT_EQ(FindLocalAppData(f.s).value_or(L"?"), L"C:\\Users\\Tester\\AppData\\Local");

  FakeSession g;
  g.w.InjectFault(fake::Op::kKnownFolder, L"LocalAppData", 0x80070005);
  EXPECT_EQ(FindLocalAppData(g.s).code(), 0x80070005u);
  EXPECT_EQ(g.s.localAppData, L"") << "a failure is not kept";
  EXPECT_EQ(WorkingFolder(g.s), kWork) << "the next lookup is asked afresh";
}

// Death tests run in the native build: under Wine an abort starts its
// debugger instead of ending the child quietly.
#ifndef _WIN32
using StartFactsDeathTest = ::testing::Test;

// Past the entry's check a failure breaks a promise: the program stops
// rather than placing the working folder at "\Tallwen" or taking a failed
// version query for Windows XP.
TEST_F(StartFactsDeathTest, AFactFailingPastTheEntryStopsTheProgram) {
  const struct {
    fake::Op op;
    const wchar_t* part;
    void (*ask)(Session&);
  } rows[] = {
      {fake::Op::kKnownFolder, L"LocalAppData", [](Session& s) { WorkingFolder(s); }},
      {fake::Op::kSystemFact, L"Version", [](Session& s) { IsWindowsVersionOrGreater(s, 6, 0); }},
      {fake::Op::kSystemFact, L"Wow64", [](Session& s) { IsWow64(s); }},
  };
  for (const auto& r : rows) {
    FakeSession f;
    f.w.InjectFault(r.op, r.part, 87);
    EXPECT_DEATH(r.ask(f.s), "called on a failure \\(code 87\\)") << ToUtf8(r.part);
  }
}

TEST_F(StartFactsDeathTest, EveryWayIntoAFailedResultStops) {
  const platform::Result<std::wstring> failed(platform::Error{2});
  EXPECT_DEATH((void)failed.value(), "Result::value\\(\\) called on a failure \\(code 2\\)");
  EXPECT_DEATH((void)*failed, "code 2");
  EXPECT_DEATH((void)failed->size(), "code 2");
  EXPECT_EQ(failed.value_or(L"fallback"), L"fallback");
}
#endif  // _WIN32

}  // namespace
}  // namespace corvex
