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

std::wstring Footer(const std::wstring& datablocks, const std::wstring& hashLine) {
  return L"Corvex version 1.2.3.4 by Tallwen has completed.\r\n"
         L"Currently storing " + datablocks + L" datablocks.\r\n"
         L"Finish time: 2026-12-06 09:30:15.250" + hashLine +
         L"\r\n----------------------EOF-----------------------";
}

TEST(Entry, TextScriptRunWritesTheWholeLogToTheDesktop) {
  FakeSession f;
  f.w.AddFile(L"C:\\fix.txt", "Debug::\r\nNo cbs\r\n");
  EXPECT_EQ(RunProgram(f.s, {kExe, L"C:\\fix.txt"}), 0);
  // Utf16File reads only a file with the byte-order mark.
  std::string bytes = f.w.FileBytes(kDesktopLog);
  std::wstring hash = L"\r\nScript hash: " + f.s.scriptHash;
  EXPECT_EQ(f.Utf16File(kDesktopLog),
            kHeader + L"Using .txt script file at C:\\fix.txt [0]\r\n\r\n\r\n\r\n\r\n" +
                L"Debug:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n" +
                L"Successfully processed all directives.\r\n" + Footer(L"0", hash));
  EXPECT_EQ(f.w.FileBytes(L"C:\\Corvex\\Corvex (2026-12-06 09'30'15.250).log"), bytes) << "dated copy";
  EXPECT_EQ(f.w.FileBytes(L"C:\\Corvex\\ScriptList"),
            ToLatin1(L"2026-12-06 09'30'15.250 - " + f.s.scriptHash + L" [0]\r\n"));
  ASSERT_EQ(f.w.processesRun.size(), 1u) << "Notepad once: no trace was asked for";
  EXPECT_EQ(f.w.processesRun[0].program, L"C:\\Windows\\Notepad.exe");
  EXPECT_EQ(f.w.processesRun[0].commandLine, L" " + kDesktopLog);
  EXPECT_FALSE(f.w.processesRun[0].wait);
  EXPECT_FALSE(f.w.Exists(L"C:\\Users\\Tester\\Desktop\\Trace.txt"));
  EXPECT_FALSE(f.w.Exists(kWork)) << "empty working folders are removed";
  EXPECT_EQ(f.w.title, L"Corvex by tallwen.net");
  EXPECT_TRUE(f.w.fixedSize);
  EXPECT_EQ(f.w.ConsoleText(),
            L"Welcome to Corvex by Tallwen and tallwen.net.\n\n"
            L"Processing directive 1 of 1 (Debug::)\nSuccessfully processed all directives.\n");
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

TEST(Entry, SessionLogGivenAsScriptIsRefused) {
  FakeSession f;
  f.w.AddFile(L"C:\\old.txt", testing::Utf16Bom(L"Corvex version 1.0 by Tallwen.\r\nDebug::\r\n"));
  EXPECT_EQ(RunProgram(f.s, {kExe, L"C:\\old.txt"}), 0);
  EXPECT_TRUE(testing::Holds(f.w.ConsoleText(),
                             L"Detected logfile supplied as script. Script blocked.\nPress any key to exit . . . "));
  EXPECT_EQ(f.w.keysRead, 1);
  EXPECT_FALSE(f.w.Exists(kDesktopLog));
  EXPECT_TRUE(f.w.processesRun.empty());

  FakeSession later;  // the log's first line later in a script is accepted
  later.w.AddFile(L"C:\\s.txt", "Debug::\r\nCorvex version\r\n");
  RunProgram(later.s, {kExe, L"C:\\s.txt"});
  EXPECT_TRUE(later.w.Exists(kDesktopLog));
}

TEST(Entry, WindowsBeforeVistaIsRefusedWithoutALog) {
  FakeSession f;
  f.w.version = {5, 1, 2600, 3, 1};
  EXPECT_EQ(RunProgram(f.s, {kExe}), 0);
  EXPECT_EQ(f.w.ConsoleText(),
            L"Welcome to Corvex by Tallwen and tallwen.net.\n\nIncompatible Operating System detected. This program "
            L"supports Windows Vista and above only.\nPress any key to exit . . . ");
  EXPECT_EQ(f.w.keysRead, 1);
  EXPECT_FALSE(f.w.Exists(kDesktopLog));
  EXPECT_EQ(f.s.log, L"");
}

TEST(Entry, ContinuedSessionAppendsToTheSavedLogsAndRunsTheSavedScript) {
  FakeSession f;
  f.w.AddFile(kWork + L"\\Reboot_Neat_Log", testing::Utf16Bom(L"Corvex version 1.2.3.4 by Tallwen.\r\nEarlier part\r\n"));
  f.w.AddFile(kWork + L"\\Reboot_Debug_Log", testing::Utf16Bom(L"earlier trace line\r\n"));
  f.w.AddFile(kWork + L"\\Reboot_Script", testing::Utf16Bom(L"Debug::\r\n"));
  f.w.AddFile(kWork + L"\\DataBlocks", testing::Utf16Bom(L"C:\\a|D:PAI(A;;FA;;;BA)|S-1-5-32-544\r\nC:\\b|D:(A;;FA;;;SY)|S-1-5-18"));
  f.w.AddFile(L"C:\\other.txt", "VSS::\r\n");
  RunProgram(f.s, {kExe, L"C:\\other.txt"});
  std::wstring log = f.Utf16File(kDesktopLog);
  // No second header, and the saved files gone: RebootContinuation.
  EXPECT_TRUE(StartsWith(log, L"Corvex version 1.2.3.4 by Tallwen.\r\nEarlier part\r\nDebug:: directive completed"));
  EXPECT_EQ(log.find(L"VSS::"), std::wstring::npos) << "the saved script runs, not the argument";
  EXPECT_TRUE(EndsWith(log, Footer(L"2", L"")));
  EXPECT_TRUE(StartsWith(f.s.trace, L"earlier trace line"));
  EXPECT_TRUE(f.w.Exists(kWork + L"\\DataBlocks")) << "the working folder stays while it holds something";
}

// With the folder there: ContinuedSessionStillFindsItsArchive.
TEST(Entry, SavedScriptGetsNoArchiveFolderWhereThereIsNone) {
  FakeSession f;
  f.w.AddFile(kWork + L"\\Reboot_Script", testing::Utf16Bom(L"Debug::\r\n{ARCHIVE}\\x.dll\r\n"));
  f.w.AddFile(kWork + L"\\Archive", "not a folder");
  RunProgram(f.s, {kExe});
  EXPECT_TRUE(testing::Holds(f.s.log, L"Failed to recognise input line \\x.dll.\r\n"));
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

TEST(Entry, RefusedContinuationIsSetAsideSoTheNextStartIsClean) {
  FakeSession f;
  const std::string logAsScript = testing::Utf16Bom(L"Corvex version 1.0 by Tallwen.\r\nDebug::\r\n");
  f.w.AddFile(kWork + L"\\Reboot_Neat_Log", testing::Utf16Bom(kHeader));
  f.w.AddFile(kWork + L"\\Reboot_Script", logAsScript);
  RunProgram(f.s, {kExe});
  EXPECT_TRUE(testing::Holds(f.w.ConsoleText(),
                             L"Detected logfile supplied as script. Script blocked.\nThe saved session was set "
                             L"aside as " +
                                 kWork +
                                 L"\\Refused_*, so the next start begins a new session.\n"
                                 L"Press any key to exit . . . "));
  EXPECT_EQ(f.w.FileBytes(kWork + L"\\Refused_Script"), logAsScript);
  EXPECT_TRUE(f.w.Exists(kWork + L"\\Refused_Neat_Log"));
  EXPECT_FALSE(f.w.Exists(kWork + L"\\Reboot_Script"));
  EXPECT_FALSE(f.w.Exists(kWork + L"\\Reboot_Neat_Log"));

  FakeSession next;
  next.w.AddFile(kWork + L"\\Refused_Script", logAsScript);
  next.w.AddFile(L"C:\\fix.txt", "Debug::\r\nNo fs\r\n");
  RunProgram(next.s, {kExe, L"C:\\fix.txt"});
  EXPECT_TRUE(StartsWith(next.Utf16File(kDesktopLog), kHeader + L"Using .txt script file at C:\\fix.txt"));
  EXPECT_TRUE(next.w.Exists(kWork + L"\\Refused_Script")) << "what was set aside stays for the helper";
}

// A failing directive, or a script that could not be loaded, is a failed
// run that still exits with zero. A zip that cannot be loaded takes the same
// way: ZipScripts.CorruptZipIsReportedAndWaitsForAKey.
TEST(Entry, ScriptThatFailedOrCouldNotBeLoadedIsAFailedRun) {
  for (const wchar_t* script : {L"C:\\fix.txt", L"C:\\absent.txt"}) {
    FakeSession f;
    f.w.AddFile(L"C:\\fix.txt", "Debug::\r\nnonsense\r\n");
    EXPECT_EQ(RunProgram(f.s, {kExe, script}), 0) << script;
    std::wstring log = f.Utf16File(kDesktopLog);
    EXPECT_TRUE(
        testing::Holds(log, L"\r\n\r\n\r\n\r\nFailed to process all directives successfully.\r\nCorvex version"))
        << script;
    EXPECT_EQ(log.find(L"Successfully processed"), std::wstring::npos) << script;
  }
}

TEST(Entry, ContinuedLogAlwaysOpensWithItsHeader) {
  FakeSession f;
  f.w.AddFile(kWork + L"\\Reboot_Neat_Log", testing::Utf16Bom(L""));
  f.w.AddFile(kWork + L"\\Reboot_Script", testing::Utf16Bom(L"Debug::\r\n"));
  RunProgram(f.s, {kExe});
  EXPECT_TRUE(StartsWith(f.Utf16File(kDesktopLog), kHeader + L"Debug:: directive completed successfully.\r\n"));
  EXPECT_TRUE(f.s.deferredFlashScan) << "still a continued session";
}

TEST(Entry, DebugTraceIsWrittenAndOpenedWhenAskedFor) {
  FakeSession f;
  f.w.AddFile(L"C:\\fix.txt", "Debug::\r\n");
  RunProgram(f.s, {kExe, L"C:\\fix.txt"});
  EXPECT_EQ(f.Utf16File(L"C:\\Users\\Tester\\Desktop\\Trace.txt"), L"There have been no debug trace events.");
  EXPECT_TRUE(f.w.Exists(L"C:\\Corvex\\Trace (2026-12-06 09'30'15.250).log"));
  ASSERT_EQ(f.w.processesRun.size(), 2u);
  EXPECT_EQ(f.w.processesRun[1].commandLine, L" C:\\Users\\Tester\\Desktop\\Trace.txt");
}

TEST(Entry, FinalLogfileFailuresAreShownAndWaitedOn) {
  FakeSession f;
  f.w.AddFile(L"C:\\fix.txt", "Debug::\r\nNo fs\r\n");
  f.w.InjectFault(fake::Op::kWriteFile, L"Desktop\\Corvex.txt", 32);
  f.w.InjectFault(fake::Op::kCreateFolder, L"C:\\Corvex", 5);
  RunProgram(f.s, {kExe, L"C:\\fix.txt"});
  std::wstring console = f.w.ConsoleText();
  EXPECT_TRUE(
      testing::Holds(console, L"\nERROR: Failed to write final logfile (" + kDesktopLog +
                                  L") with error code 13. File may be in use.\nPress any key to continue . . . \n"));
  EXPECT_TRUE(
      testing::Holds(console, L"\nWARNING: Failed to write logfile to permanent location with return code 0x1.\n"));
  EXPECT_TRUE(testing::Holds(console, L"Failed to prepare and open final logfiles.\n"));
  EXPECT_GE(f.w.keysRead, 2);
}

TEST(Entry, MissingDesktopFolderIsReportedByName) {
  FakeSession f;
  f.w.AddFile(L"C:\\fix.txt", "Debug::\r\nNo fs\r\n");
  f.w.InjectFault(fake::Op::kKnownFolder, L"Desktop", 0x80070005);
  RunProgram(f.s, {kExe, L"C:\\fix.txt"});
  EXPECT_TRUE(testing::Holds(f.w.ConsoleText(),
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
      EXPECT_TRUE(writable()) << "let go once started";
      EXPECT_EQ(f.w.FileBytes(copy), "MZ program00004711");
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
