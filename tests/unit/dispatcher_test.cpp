#include "script/dispatcher.h"

#include <gtest/gtest.h>

#include <chrono>

#include "script/debug_directive.h"
#include "app/directive_table.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

// Case is ignored: the dispatch tests below run "debug::".
TEST(DirectiveTable, FindRefusesTrailingText) {
  EXPECT_EQ(ProgramDirectives().Find(L"Debug:: now"), nullptr);
}

TEST(PrepareLine, ArchiveTokenQuotedSlashesTurnedVariablesExpanded) {
  FakeSession f;
  EXPECT_EQ(PrepareLine(f.s, L"  {archive}/new/a.dll %SystemRoot%/System32/a.dll \r", L"C:\\Arc"),
            L"\"C:\\Arc\\new\\a.dll\" C:\\Windows\\System32\\a.dll");
  EXPECT_EQ(PrepareLine(f.s, L"\"{ARCHIVE}\\a b.dll\" \"C:\\x\"", L"C:\\Arc"), L"\"C:\\Arc\\a b.dll\" \"C:\\x\"");
  EXPECT_EQ(PrepareLine(f.s, L"https://example.org/a/b", L""), L"https:\\\\example.org\\a\\b");
  f.w.wow64 = true;
  EXPECT_EQ(PrepareLine(f.s, L"%SystemRoot%\\System32\\a.dll", L""), L"C:\\Windows\\Sysnative\\a.dll");
  EXPECT_EQ(PrepareLine(f.s, L" \t ", L""), L"");
  // Without an archive folder the token goes, and so does one that its
  // removal joins together.
  EXPECT_EQ(PrepareLine(f.s, L"{ARCH{archive}IVE}x.dll", L""), L"x.dll");
}

TEST(Dispatch, SectionsProgressAndResult) {
  FakeSession f;
  Dispatch(f.s, ProgramDirectives(),
           L"debug::\r\nNo cbs surt\r\n\r\nDebug::\r\nSave Debug Log\r\nBogus::\r\nline\r\n", L"");
  EXPECT_EQ(f.w.ConsoleText(),
            L"Processing directive 1 of 3 (Debug::)\n"
            L"Processing directive 2 of 3 (Debug::)\n"
            L"Processing directive 3 of 3 (Unrecognised directive: Bogus::)\n");
  // Each header as written.
  EXPECT_TRUE(StartsWith(f.s.log, L"debug:: directive completed successfully.\r\n\r\n\r\n\r\n\r\nDebug:: "));
  EXPECT_EQ(f.s.skipMask, 0xCu);
  EXPECT_TRUE(f.s.saveDebugLog);
}

// A line before the first header belongs to the first directive.
TEST(Dispatch, FailedDirectiveFailsTheRunButGoesOn) {
  FakeSession f;
  auto result = Dispatch(f.s, ProgramDirectives(), L"whatever\r\nDebug::\r\nDebug::\r\nNo dirs", L"");
  EXPECT_EQ(result, RunResult::kFailed);
  EXPECT_EQ(f.s.log,
            L"Debug::\r\nFailed to recognise input line whatever.\r\nDebug:: directive failed to complete "
            L"successfully.\r\n\r\n\r\n\r\n\r\n"
            L"Debug:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n");
  EXPECT_EQ(f.s.skipMask, 0x10u);
}

TEST(Dispatch, BareHeaderChoosesByItsLines) {
  EXPECT_STREQ(DefaultDirectiveFor({}), L"AutoAnalysis::");
  EXPECT_STREQ(DefaultDirectiveFor({L"regedit4"}), L"RegistryScript::");
  EXPECT_STREQ(DefaultDirectiveFor({L"C:\\a C:\\b"}), L"PowerCopy::");
  FakeSession f;
  Dispatch(f.s, ProgramDirectives(), L"::\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\x]", L"");
  EXPECT_EQ(f.w.ConsoleText(), L"Processing directive 1 of 1 (RegistryScript::)\n");
  EXPECT_TRUE(StartsWith(f.s.log, L"RegistryScript::\r\n")) << "the section carries the chosen name";
}

// An entry without a handler fails honestly.
TEST(Dispatch, TakesTheTableItIsGiven) {
  static const DirectiveEntry kOwn[] = {{L"Mine::", [](Session&, Lines lines, const std::wstring&, std::wstring& r) {
                                          r = L"got " + Decimal(lines.size());
                                          return true;
                                        }},
                                        {L"Later::", nullptr}};
  FakeSession f;
  EXPECT_EQ(Dispatch(f.s, DirectiveTable{kOwn, 2}, L"mine::\r\na\r\nb\r\nLater::\r\nx\r\nDebug::", L""),
            RunResult::kFailed);
  EXPECT_EQ(f.s.log,
            L"mine::\r\ngot 2\r\nmine:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"
            L"Later::\r\nLater:: is not available in this version of Corvex.\r\nLater:: directive failed to "
            L"complete successfully.\r\n\r\n\r\n\r\n\r\n"
            L"Debug:: is not a recognised directive. No lines were entered under this directive.\r\n\r\n\r\n\r\n\r\n");
}

// No lines at all ask for the trace: Entry.TextScriptRunOpensTheDesktopLogAndTheTraceInNotepad.
TEST(DebugDirective, SwitchesAndMask) {
  FakeSession g;
  g.s.skipMask = 0xC;
  Ran(DebugDirective, g, {L"cbs again"});
  EXPECT_EQ(g.s.skipMask, 0u) << "a keyword without \"No \" clears the whole mask";
  Ran(DebugDirective, g, {L"No csd", L"No fr"});
  EXPECT_EQ(g.s.skipMask, 0x1Fu);

  // The exact "Save Debug Log": Dispatch.SectionsProgressAndResult.
  FakeSession k;
  EXPECT_EQ(Ran(DebugDirective, k, {L"Please Save Debug Log", L"save debug log please"}, false),
            L"Failed to recognise input line Please Save Debug Log.\r\n");
  EXPECT_TRUE(k.s.saveDebugLog) << "the remaining lines are still examined, in any case, with text after";
}

// Fixed: a script without a header used to advance the directive number.
TEST(Dispatch, OnlyHeadersAdvanceTheDirectiveNumberAcrossRuns) {
  FakeSession f;
  EXPECT_EQ(Dispatch(f.s, ProgramDirectives(), L"just text\r\nmore", L""), RunResult::kSucceeded);
  EXPECT_EQ(Dispatch(f.s, ProgramDirectives(), L"", L""), RunResult::kSucceeded);
  EXPECT_EQ(f.s.log, L"");
  EXPECT_EQ(f.s.directiveNumber, 0u);
  Dispatch(f.s, ProgramDirectives(), L"Debug::", L"");
  Dispatch(f.s, ProgramDirectives(), L"Debug::", L"");
  EXPECT_EQ(f.w.ConsoleText(), L"Processing directive 1 of 1 (Debug::)\nProcessing directive 2 of 1 (Debug::)\n");
}

TEST(Dispatch, LongScriptsAndLongLinesStayLinear) {
  FakeSession f;
  std::wstring script = L"Debug::\r\n";
  for (int i = 0; i < 100000; ++i) script += L"No cbs %SystemRoot%\\x/y\r\n";
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Dispatch(f.s, ProgramDirectives(), script, L""), RunResult::kSucceeded);
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 10.0);

  // One line of 200,000 archive tokens and doubled backslashes under WOW64.
  f.w.wow64 = true;
  std::wstring line = L"C:";
  for (int i = 0; i < 200000; ++i) line += L"{ARCHIVE}\\\\";
  start = std::chrono::steady_clock::now();
  std::wstring prepared = PrepareLine(f.s, line, L"C:\\Arc");
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 10.0);
  EXPECT_EQ(prepared.size(), 2u + 200000u * 8u);
  EXPECT_EQ(prepared.substr(0, 18), L"C:C:\\Arc\\\\C:\\Arc\\\\");
}

}  // namespace
}  // namespace corvex
