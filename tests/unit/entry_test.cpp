#include "app/entry.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_http.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::kDesktopLog;
using testing::kExe;
using testing::kWork;

using testing::FakeSession;

const std::wstring kHeader =
    L"Corvex version 1.2.3.4 by Tallwen.\r\n"
    L"Start time: 2026-12-06 09:30:15.250\r\n"
    L"Microsoft Windows 10 Build 19045 - amd64\r\n";

// The log's text, and no trace unless one is asked for: the end-to-end case
// text_script_full_log. A Debug:: without lines asks for one.
TEST(Entry, TextScriptRunOpensTheDesktopLogAndTheTraceInNotepad) {
  FakeSession f;
  f.w.AddFile(L"C:\\fix.txt", "Debug::\r\n");
  EXPECT_EQ(RunProgram(f.s, {kExe, L"C:\\fix.txt"}), 0);
  ASSERT_EQ(f.w.processesRun.size(), 2u);
  EXPECT_EQ(f.w.processesRun[0].program, L"C:\\Windows\\Notepad.exe");
  EXPECT_EQ(f.w.processesRun[0].commandLine, L" " + kDesktopLog);
  EXPECT_FALSE(f.w.processesRun[0].wait);
  EXPECT_EQ(f.w.processesRun[1].commandLine, L" C:\\Users\\Tester\\Desktop\\Trace.txt");
  EXPECT_TRUE(f.w.Exists(L"C:\\Corvex\\Trace (2026-12-06 09'30'15.250).log"));
  EXPECT_TRUE(f.w.fixedSize);
}

TEST(Entry, StartWithoutArgumentsHoldsTheConsole) {
  FakeSession f;
  f.w.version = {6, 1, 7601, 1, 1};
  EXPECT_EQ(RunProgram(f.s, {kExe, L""}), 0);
  // Held output waits for the analysis's intro pages, which then show it.
  const std::wstring shown = f.w.ConsoleText();
  EXPECT_EQ(shown.rfind(L"<clear>Welcome to Corvex!", 0), 0u) << shown.substr(0, 80);
  EXPECT_GT(shown.find(L"Welcome to Corvex by Tallwen"), shown.find(L"Disclaimer"));
  EXPECT_FALSE(f.w.fixedSize) << "only Windows 10 and later get the fixed console";
  std::wstring log = f.Utf16File(kDesktopLog);
  EXPECT_TRUE(testing::Holds(log, L"Not using a script file.\r\n\r\n\r\n\r\n\r\nAutoAnalysis::\r\n"));
  EXPECT_EQ(log.find(L"Script hash:"), std::wstring::npos) << "no script file was hashed";
}

// A log given as the script on the command line: the end-to-end case
// session_log_as_script_is_refused; it ends as a saved one does below.
TEST(Entry, SessionLogGivenAsScriptIsRefusedAndASavedOneSetAside) {
  FakeSession later;  // the log's first line later in a script is accepted
  later.w.AddFile(L"C:\\s.txt", "Debug::\r\nCorvex version\r\n");
  RunProgram(later.s, {kExe, L"C:\\s.txt"});
  EXPECT_TRUE(later.w.Exists(kDesktopLog));

  // A saved session whose script is a log is set aside, so the next start is clean.
  FakeSession saved;
  const std::string logAsScript = testing::Utf16Bom(L"Corvex version 1.0 by Tallwen.\r\nDebug::\r\n");
  saved.w.AddFile(kWork + L"\\Reboot_Neat_Log", testing::Utf16Bom(kHeader));
  saved.w.AddFile(kWork + L"\\Reboot_Script", logAsScript);
  RunProgram(saved.s, {kExe});
  EXPECT_TRUE(testing::Holds(saved.w.ConsoleText(),
                             L"Script blocked.\nThe saved session was set aside as " + kWork +
                                 L"\\Refused_*, so the next start begins a new session.\n"
                                 L"Press any key to exit . . . "));
  EXPECT_EQ(saved.w.keysRead, 1);
  EXPECT_EQ(saved.w.FileBytes(kWork + L"\\Refused_Script"), logAsScript);
  EXPECT_TRUE(saved.w.Exists(kWork + L"\\Refused_Neat_Log"));
  EXPECT_FALSE(saved.w.Exists(kWork + L"\\Reboot_Script"));
  EXPECT_FALSE(saved.w.Exists(kWork + L"\\Reboot_Neat_Log"));

  FakeSession next;
  next.w.AddFile(kWork + L"\\Refused_Script", logAsScript);
  next.w.AddFile(L"C:\\fix.txt", "Debug::\r\nNo fs\r\n");
  RunProgram(next.s, {kExe, L"C:\\fix.txt"});
  EXPECT_TRUE(StartsWith(next.Utf16File(kDesktopLog), kHeader + L"Using .txt script file at C:\\fix.txt"));
  EXPECT_TRUE(next.w.Exists(kWork + L"\\Refused_Script")) << "what was set aside stays for the helper";
}

TEST(Entry, WindowsBeforeVistaIsRefusedWithoutALog) {
  FakeSession f;
  f.w.version = {5, 1, 2600, 3, 1};
  EXPECT_EQ(RunProgram(f.s, {kExe}), 0);
  EXPECT_EQ(f.w.keysRead, 1);
  EXPECT_FALSE(f.w.Exists(kDesktopLog));
  EXPECT_EQ(f.s.log, L"");
}

TEST(Entry, ContinuedSessionStillFindsItsArchive) {
  FakeSession f;
  f.w.AddFile(kWork + L"\\Reboot_Neat_Log", testing::Utf16Bom(kHeader));
  f.w.AddFile(kWork + L"\\Reboot_Script", testing::Utf16Bom(L"TakePermissions::\r\n{ARCHIVE}\\x.dll\r\n"));
  f.w.AddFile(kWork + L"\\Archive\\x.dll", "MZ");
  f.w.AddFile(kWork + L"\\Temp\\download.bin", "old");
  RunProgram(f.s, {kExe});
  EXPECT_TRUE(
      testing::Holds(f.s.log, L"Successfully took permissions for file or folder " + kWork + L"\\Archive\\x.dll\r\n"));
  EXPECT_TRUE(testing::Holds(f.s.log, L"Successfully processed all directives.\r\n"));

  // Without a saved script the start loads its own, and may extract a zip:
  // what an earlier archive left must not mix with it.
  FakeSession g;
  g.w.AddFile(kWork + L"\\Reboot_Neat_Log", testing::Utf16Bom(kHeader));
  g.w.AddFile(kWork + L"\\Archive\\stale.dll", "MZ");
  // The finish empties it too: every deletion after the first fails, so only
  // the start can have removed the file.
  g.w.InjectFault(fake::Op::kDeleteFile, L"Tallwen", 5, 100, 1);
  RunProgram(g.s, {kExe});
  EXPECT_FALSE(g.w.Exists(kWork + L"\\Archive\\stale.dll"));
}

TEST(Entry, SavedFileThatCannotBeReadIsKeptAndReported) {
  for (const wchar_t* unreadable : {L"Reboot_Script", L"Reboot_Neat_Log", L"Reboot_Debug_Log"}) {
    FakeSession f;
    for (const wchar_t* name : {L"Reboot_Neat_Log", L"Reboot_Debug_Log", L"Reboot_Script"})
      f.w.AddFile(kWork + L"\\" + name, testing::Utf16Bom(L"Debug::\r\n"));
    f.w.InjectFault(fake::Op::kReadFile, unreadable, 32, 100);
    RunProgram(f.s, {kExe});
    EXPECT_TRUE(testing::Holds(f.w.ConsoleText(),
                               L"Failed to read the saved session file " + kWork + L"\\" + unreadable +
                                   L" with error code ERROR_SHARING_VIOLATION. The saved session is kept for the "
                                   L"next start.\nPress any key to exit . . . "))
        << unreadable;
    EXPECT_EQ(f.w.keysRead, 1);
    for (const wchar_t* name : {L"Reboot_Neat_Log", L"Reboot_Debug_Log", L"Reboot_Script"})
      EXPECT_TRUE(f.w.Exists(kWork + L"\\" + name)) << unreadable << " lost " << name;
    EXPECT_FALSE(f.w.Exists(kDesktopLog)) << "no Desktop log claims the run succeeded";
  }
}

TEST(Entry, ContinuedLogAlwaysOpensWithItsHeader) {
  FakeSession f;
  f.w.AddFile(kWork + L"\\Reboot_Neat_Log", testing::Utf16Bom(L""));
  f.w.AddFile(kWork + L"\\Reboot_Debug_Log", testing::Utf16Bom(L"earlier trace line\r\n"));
  f.w.AddFile(kWork + L"\\Reboot_Script", testing::Utf16Bom(L"Debug::\r\n"));
  RunProgram(f.s, {kExe});
  EXPECT_TRUE(StartsWith(f.Utf16File(kDesktopLog), kHeader + L"Debug:: directive completed successfully.\r\n"));
  EXPECT_TRUE(StartsWith(f.s.trace, L"earlier trace line")) << "the trace goes on too";
  EXPECT_TRUE(f.s.deferredFlashScan) << "still a continued session";
}

TEST(Entry, FinalLogfileFailuresAreShownAndWaitedOn) {
  FakeSession f;
  f.w.AddFile(L"C:\\fix.txt", "Debug::\r\nNo fs\r\n");
  f.w.InjectFault(fake::Op::kWriteFile, L"Desktop\\Corvex.txt", 32);
  f.w.InjectFault(fake::Op::kCreateFolder, L"C:\\Corvex", 5);
  RunProgram(f.s, {kExe, L"C:\\fix.txt"});
  // What follows the key: the console case failed_final_logfile_waits_for_a_key_before_the_dated_copy.
  const std::wstring console = f.w.ConsoleText();
  EXPECT_TRUE(
      testing::Holds(console, L"\nERROR: Failed to write final logfile (" + kDesktopLog +
                                  L") with error code 13. File may be in use.\nPress any key to continue . . . \n"));
  EXPECT_TRUE(
      testing::Holds(console, L"\nWARNING: Failed to write logfile to permanent location with return code 0x1.\n"));
  EXPECT_GE(f.w.keysRead, 2);

  FakeSession g;  // no Desktop folder to name
  g.w.AddFile(L"C:\\fix.txt", "Debug::\r\nNo fs\r\n");
  g.w.InjectFault(fake::Op::kKnownFolder, L"Desktop", 0x80070005);
  RunProgram(g.s, {kExe, L"C:\\fix.txt"});
  EXPECT_TRUE(testing::Holds(g.w.ConsoleText(),
                             L"\nERROR: Failed to write final logfile to Desktop with error code 0x80070005.\nPress "
                             L"any key to continue . . . \n"));
}

// A collection that brings a new ID ends in the ID restart: the stamped copy
// is started only while it is still held as it was checked, and let go once
// it runs; otherwise this start finishes the session, saying so.
TEST(Entry, IdRestartStartsOnlyTheHeldCheckedCopy) {
  const std::wstring copy = kWork + L"\\Temp\\_CorvexID.exe";
  enum Fault { kNone, kSwappedBeforeTheHold, kCannotBeHeld, kStartFails };
  for (Fault fault : {kNone, kSwappedBeforeTheHold, kCannotBeHeld, kStartFails}) {
    FakeSession f;
    f.w.AddFile(kExe, "MZ program00000000");
    f.w.AddFile(L"C:\\fix.txt", "Collect::\r\nC:\\fix.txt\r\n");
    f.w.http().handler = [](const fake::FakeHttpRequest& r) -> platform::HttpReply {
      return {200, r.url.find(L"do=prepare") != std::wstring::npos ? "4711" : "OK"};
    };
    f.w.FeedKeys(L"ybob\ry");
    auto writable = [&f, &copy] {
      return f.s.os.fs.Open(copy, platform::access::kWrite, platform::share::kAll, platform::Disposition::kOpenExisting)
          .ok();
    };
    bool writableAtStart = true;
    if (fault != kStartFails)
      f.w.OnProcess(L"_CorvexID.exe", [&](const platform::ProcessRequest&) {
        writableAtStart = writable();
        return platform::ProcessOutcome{};
      });
    if (fault == kCannotBeHeld) f.w.InjectFault(fake::Op::kOpenFile, L"_CorvexID.exe", 32, 1, 1);
    if (fault == kSwappedBeforeTheHold)  // by whoever may write there, as the copy is first opened to read
      f.w.accessCheck = [&f, &copy, check = f.w.accessCheck](const std::wstring& path, uint32_t desired) {
        if (desired == 1 && IEquals(path, copy)) f.w.AddFile(copy, "MZ other!!00004711");
        return check ? check(path, desired) : 0;
      };
    RunProgram(f.s, {kExe, L"C:\\fix.txt"});
    size_t started = 0;
    for (const auto& p : f.w.processesRun) started += p.program == copy && p.commandLine == L" " + kExe + L"?ID";
    if (fault == kNone) {
      EXPECT_EQ(started, 1u);
      EXPECT_FALSE(writableAtStart) << "held until started";
      EXPECT_FALSE(f.w.Exists(kDesktopLog)) << "the restarted program finishes the session";
      continue;
    }
    EXPECT_EQ(started, fault == kStartFails ? 1u : 0u) << fault << ": only tried when held";
    const std::wstring said = fault == kStartFails
                                  ? L"(" + copy + L") was not started: error code ERROR_FILE_NOT_FOUND."
                                  : L"The new collection ID 4711 could not be kept in a checked copy of Corvex";
    EXPECT_TRUE(testing::Holds(f.w.ConsoleText(), said)) << fault << "\n" << f.w.ConsoleText();
    EXPECT_TRUE(f.w.Exists(kDesktopLog) && !f.w.Exists(kWork + L"\\Reboot_Neat_Log") && !f.w.Exists(copy)) << fault;
  }
}

}  // namespace
}  // namespace corvex
