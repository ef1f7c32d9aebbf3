#include "fs/reboot_directives.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "core/session_log.h"
#include "script/dispatcher.h"
#include "script/file_hash.h"
#include "security_test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;
using testing::kWorkingFolder;
using testing::Utf16Bom;

const std::wstring kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const std::wstring kRunOnce = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const std::wstring kRebootSource = L"C:\\fix\\new.dll";
const std::wstring kRebootDest = L"C:\\Windows\\System32\\in_use.dll";
const std::wstring kNativeDest = L"C:\\Windows\\Sysnative\\in_use.dll";
const std::wstring kStaging0 = kWorkingFolder + L"\\ReplaceOverReboot0";
const std::wstring kRebootLine = L"\"" + kRebootSource + L"\" " + kRebootDest;
const std::wstring kNativeLine = L"\"" + kRebootSource + L"\" " + kNativeDest;
const std::wstring kPended = L"Successfully pended file for replace over reboot: " + kRebootDest + L"\r\n";

void Prepare(FakeSession& f) {
  f.w.AddMachineKey(kSessionManager);
  f.w.AddMachineKey(kRunOnce);
  f.w.AddFile(kRebootSource, "new bytes");
  f.w.AddFile(kRebootDest, "old bytes");
}

struct PendRow {
  const char* name;
  bool wow64, pended, ok, stagingLeft;
  std::function<void(FakeSession&)> arrange;
  std::wstring line;
  std::wstring report;
};

TEST(ReplaceOverReboot, EachStepsSentencesAndWhatIsLeft) {
  const std::wstring allowTail = L". Attempting without - be alert for silent failures over the reboot.\r\n";
  auto pendFailed = [](const std::wstring& dest) {
    return L"Failed to pend file for replace over reboot: " + dest + L". Error code: ERROR_ACCESS_DENIED.\r\n";
  };
  const std::wstring nativePended = L"Successfully pended file for replace over reboot: " + kNativeDest + L"\r\n";
  auto none = [](FakeSession&) {};
  auto fault = [](Op op, const wchar_t* part, uint32_t code) {
    return [=](FakeSession& f) { f.w.InjectFault(op, part, code); };
  };
  const PendRow rows[] = {
      {"pended", false, true, true, true, none, kRebootLine, kPended},
      {"one path", false, false, false, false, none, kRebootSource,
       L"Failed to pend file for replace over reboot. Failed to interpret line: " + kRebootSource + L"\r\n"},
      {"no key", false, true, true, true, fault(Op::kRegistryOpen, L"Session Manager", 2), kRebootLine,
       L"Failed to open Session Manager registry key with error code ERROR_FILE_NOT_FOUND" + allowTail + kPended},
      {"value not written", false, true, true, true, fault(Op::kRegistryWrite, L"AllowProtected", 5), kRebootLine,
       L"Failed to write Session Manager registry value with error code ERROR_ACCESS_DENIED" + allowTail + kPended},
      {"no staging copy", false, false, false, false, fault(Op::kCopyFile, L"OverReboot", 112), kRebootLine,
       L"Failed to copy file " + kRebootSource + L" to temporary directory at " + kStaging0 +
           L" with error code 0x70.\r\n"},
      // The staging copy is deleted at once: nothing would ever move it.
      {"rename not pended", false, false, false, false, fault(Op::kPendRename, L"", 5), kRebootLine,
       pendFailed(kRebootDest)},
      {"rename not pended, copy not deleted", false, false, false, true,
       [](FakeSession& f) {
         f.w.InjectFault(Op::kPendRename, L"", 5);
         f.w.InjectFault(Op::kDeleteFile, L"ReplaceOverReboot", 32);
       },
       kRebootLine,
       pendFailed(kRebootDest) + L"Failed to delete temporary file " + kStaging0 +
           L" with error code ERROR_SHARING_VIOLATION.\r\n"},
      {"WOW64 pended", true, true, true, true, none, kNativeLine, nativePended},
      {"redirection stays on", true, false, false, false, fault(Op::kRedirection, L"Disable", 5), kNativeLine,
       L"Failed to disable file system redirection with error code ERROR_ACCESS_DENIED.\r\n"},
      {"redirection not back on", true, true, false, true, fault(Op::kRedirection, L"Revert", 6), kNativeLine,
       L"Failed to re-enable file system redirection with error code ERROR_INVALID_HANDLE.\r\n" + nativePended},
      {"WOW64 rename not pended", true, false, false, false, fault(Op::kPendRename, L"", 5), kNativeLine,
       pendFailed(kNativeDest)},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSession f;
    f.w.wow64 = row.wow64;
    Prepare(f);
    row.arrange(f);
    StagingSlots slots;
    std::wstring report;
    PendOutcome out = PendReplacement(f.s, row.line, slots, report);
    EXPECT_EQ(report, row.report);
    EXPECT_EQ(std::make_tuple(out.pended, out.ok, f.w.Exists(kStaging0)),
              std::make_tuple(row.pended, row.ok, row.stagingLeft));
    ASSERT_EQ(f.w.pendingRenames.size(), row.pended ? 1u : 0u);
    EXPECT_EQ(f.w.redirectionOff, row.pended && !row.ok)
        << "redirection is switched back on after the rename, also when it failed";
    if (!row.pended) continue;
    if (report == kPended) {
      EXPECT_EQ(f.w.platform().system.ReadMachineDword(kSessionManager, L"AllowProtectedRenames").value_or(0), 1u);
    }
    // Windows moves the file at boot, where only the System32 name exists.
    const auto& rename = f.w.pendingRenames[0];
    EXPECT_EQ(std::tie(rename.from, rename.to, rename.redirectionOff), std::tie(kStaging0, kRebootDest, row.wow64));
    EXPECT_EQ(f.w.FileBytes(kStaging0), "new bytes");
    EXPECT_EQ(f.w.FileBytes(kRebootDest), "old bytes");
  }
}

TEST(ReplaceOverReboot, StagingNamesOnDiskAreSkippedUpToTheThousandth) {
  FakeSession f;
  Prepare(f);
  f.w.AddFile(kWorkingFolder + L"\\ReplaceOverReboot0", "earlier");
  f.w.AddFile(kWorkingFolder + L"\\ReplaceOverReboot2", "earlier");
  Ran(ReplaceOverRebootDirective, f, {kRebootLine, kRebootLine});
  ASSERT_EQ(f.w.pendingRenames.size(), 2u);
  EXPECT_EQ(f.w.pendingRenames[0].from, kWorkingFolder + L"\\ReplaceOverReboot1");
  EXPECT_EQ(f.w.pendingRenames[1].from, kWorkingFolder + L"\\ReplaceOverReboot3");
  EXPECT_EQ(f.w.FileBytes(kWorkingFolder + L"\\ReplaceOverReboot2"), "earlier");

  FakeSession g;
  Prepare(g);
  for (int n = 0; n < 999; ++n) g.w.AddFile(kWorkingFolder + L"\\ReplaceOverReboot" + Decimal(n), "x");
  EXPECT_EQ(Ran(ReplaceOverRebootDirective, g, {kRebootLine, kRebootLine}, false),
            kPended + L"Failed to pend file for replace over reboot: " + kRebootDest + L". All 1000 temporary file names " +
                kWorkingFolder + L"\\ReplaceOverReboot0 to 999 are taken.\r\n");
  ASSERT_EQ(g.w.pendingRenames.size(), 1u);
  EXPECT_EQ(g.w.pendingRenames[0].from, kWorkingFolder + L"\\ReplaceOverReboot999");
}

TEST(RemainingScript, CutsAfterTheCurrentDirectiveAndDropsItsLines) {
  const std::wstring script = L"Debug::\r\nNo cbs\r\n\r\nReboot::\r\nignored\r\n  \r\nDebug::\r\nNo fs\r\nVSS::\n";
  const struct {
    uint32_t current;
    std::wstring rest;
  } rows[] = {
      {1, L"Reboot::\r\nignored\r\nDebug::\r\nNo fs\r\nVSS::"},
      {2, L"Debug::\r\nNo fs\r\nVSS::"},
      {4, L""},
      {9, L""},
  };
  for (auto& row : rows) EXPECT_EQ(RemainingScript(script, row.current), row.rest) << row.current;
}

// Runs Reboot:: as the dispatcher would as directive `number` of `script`.
bool RunReboot(FakeSession& f, const std::wstring& script, uint32_t number, std::wstring& report) {
  f.s.reboot.valid = true;
  f.s.reboot.scriptText = script;
  f.s.directiveNumber = number;
  return RebootDirective(f.s, {L"own line"}, L"", report);
}

const std::wstring kScript = L"Debug::\r\nNo cbs\r\nReboot::\r\nown line\r\nDebug::\r\nNo fs\r\n";

// The script saved without a pre-script, the saved log (the session log and
// Reboot::'s own section) and the RunOnce command word for word: the
// end-to-end in-use replacement cases.
TEST(Reboot, SavesScriptLogsAndRunOnceFoldingInThePreScript) {
  FakeSession f;
  Prepare(f);
  const std::wstring preScript =
      L"PostRebootCorruptionDetection::\r\nC:\\x|h\r\nPostRebootRestorePermissions::\r\nC:\\x";
  f.w.AddFile(kWorkingFolder + L"\\Reboot_Pre_Script", Utf16Bom(preScript));
  f.s.log = L"header\r\n";
  TraceInfo(f.s, L"traced");
  std::wstring report = L"caller's\r\n";
  EXPECT_TRUE(RunReboot(f, kScript, 2, report));
  EXPECT_EQ(report, L"caller's\r\n");
  EXPECT_TRUE(f.s.rebootRequired);
  EXPECT_EQ(f.Utf16File(kWorkingFolder + L"\\Reboot_Script"), preScript + L"\r\nDebug::\r\nNo fs");
  EXPECT_FALSE(f.w.Exists(kWorkingFolder + L"\\Reboot_Pre_Script")) << "folded in once, never again";
  EXPECT_TRUE(StartsWith(f.Utf16File(kWorkingFolder + L"\\Reboot_Neat_Log"), L"header\r\n"));
  EXPECT_EQ(f.Utf16File(kWorkingFolder + L"\\Reboot_Debug_Log"), f.s.trace);
}

TEST(Reboot, CompletedSuccessfullyOnlyWhenEverythingWasSaved) {
  const std::wstring failed =
      L"Reboot::\r\n%s\r\nReboot:: directive failed to complete successfully.\r\n\r\n\r\n\r\n\r\n";
  auto moveFails = [](const wchar_t* name) {
    return [=](FakeSession& f) { f.w.InjectFault(Op::kMoveFile, name, 5); };
  };
  const struct {
    const char* name;
    std::function<void(FakeSession&)> arrange;
    std::wstring sentence;
    bool logSaved;
  } rows[] = {
      {"script", moveFails(L"Reboot_Script"), L"Failed to save script file.", true},
      {"RunOnce key", nullptr, L"Failed to set RunOnce value.", true},
      {"RunOnce value", [](FakeSession& f) { f.w.InjectFault(Op::kRegistryWrite, L"RunOnce", 5); },
       L"Failed to set RunOnce value.", true},
      {"program path", [](FakeSession& f) { f.w.InjectFault(Op::kSystemFact, L"ModuleFileName", 5); },
       L"Failed to get executable path location with error code ERROR_ACCESS_DENIED\r\nFailed to set RunOnce value.",
       true},
      {"empty program path", [](FakeSession& f) { f.w.SetModule(L"", {1, 0, 0, 0}); },
       L"Failed to get executable path location: the path is empty.\r\nFailed to set RunOnce value.", true},
      {"quoted program path", [](FakeSession& f) { f.w.SetModule(L"C:\\a\"b\\Corvex.exe", {1, 0, 0, 0}); },
       L"Failed to set RunOnce value. The path C:\\a\"b\\Corvex.exe contains a double quote.", true},
      {"debug log", moveFails(L"Reboot_Debug_Log"), L"Failed to save debug logfile.", true},
      {"log", moveFails(L"Reboot_Neat_Log"), L"Failed to save logfile.", false},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSession f;
    if (row.arrange) {  // else a machine without the RunOnce key, which is never created
      f.w.AddMachineKey(kRunOnce);
      row.arrange(f);
    }
    f.s.log = L"header\r\n";
    std::wstring report;
    EXPECT_FALSE(RunReboot(f, kScript, 2, report));
    EXPECT_EQ(report, row.sentence + L"\r\n");
    EXPECT_TRUE(f.s.rebootRequired);
    EXPECT_EQ(f.Utf16File(kWorkingFolder + L"\\Reboot_Neat_Log"),
              row.logSaved ? L"header\r\n" + ReplaceAll(failed, L"%s", row.sentence) : L"");
    if (row.sentence.find(L"RunOnce") != std::wstring::npos) {
      EXPECT_EQ(f.w.MachineString(kRunOnce, L"Corvex"), L"");
    }
  }
}

// A file whose SHA-256 in Base64 holds a "/", which a script line turns into "\".
std::pair<std::string, std::wstring> ContentWithSlashInHash(FakeSession& f) {
  for (int n = 0;; ++n) {
    std::string bytes = "content " + std::to_string(n);
    f.w.AddFile(kRebootDest, bytes);
    std::wstring hash = HexToBase64(HashFile(f.s, kRebootDest));
    if (hash.find(L'/') != std::wstring::npos) return {bytes, hash};
  }
}

TEST(PostRebootCorruptionDetection, SentencesForEachKindOfRecord) {
  FakeSession f;
  auto [bytes, hash] = ContentWithSlashInHash(f);
  const std::wstring other = L"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
  const struct {
    std::wstring line;
    std::wstring report;
  } rows[] = {
      {PrepareLine(f.s, L"\"" + kRebootDest + L"\"|" + ToLower(hash), L""), L"No hash verification failures detected."},
      {L"C:/Windows/System32/in_use.dll|" + hash, L"No hash verification failures detected."},
      {kRebootDest + L"|" + other,
       L"Hash failure for file " + kRebootDest + L".\r\n Expected: " + other + L"\r\n Found: " + hash + L"\r\n\r\n"},
      {L"C:\\gone.dll|" + other, L"Hash failure for file C:\\gone.dll.\r\n Expected: " + other +
                                     L"\r\n Found: Failed to generate hash - file may be in use.\r\n\r\n"},
      {kRebootDest + L"|", L"WARNING: The file \"" + kRebootDest + L"\" was read locked (i.e. in use) prior to reboot and a hash "
                     L"could not be generated for it. The success of the replacement operation cannot be verified "
                     L"for this file.\r\nNo hash verification failures detected."},
      {kRebootDest, L"Failed to interpret line \"" + kRebootDest + L"\"\r\n"},
      {L"|" + hash,
       L"ERROR: An internal error has occured. File path string is empty for line \"|" + hash + L"\".\r\n"},
  };
  for (auto& row : rows) {
    EXPECT_EQ(Ran(PostRebootCorruptionDetectionDirective, f, {row.line}, EndsWith(row.report, L"detected.")),
              row.report)
        << row.line;
  }
}

TEST(RestartWindows, MessageBoxPrivilegeAndRestartOrASentence) {
  FakeSession f;
  EXPECT_TRUE(RestartWindows(f.s));
  EXPECT_EQ(f.w.messages.size(), 1u);
  EXPECT_EQ(f.w.restarts, std::vector<uint32_t>{0x80040001});
  EXPECT_EQ(f.s.log, L"");

  const struct {
    Op op;
    std::wstring sentence;
  } rows[] = {
      {Op::kOpenToken, L"Failed to open process token with error code ERROR_ACCESS_DENIED.\r\n"},
      {Op::kAdjustPrivilege, L"Failed to adjust token privileges with error code ERROR_ACCESS_DENIED.\r\n"},
      {Op::kRestart, L"Failed to initiate a restart operation with error code ERROR_ACCESS_DENIED.\r\n"},
  };
  for (auto& row : rows) {
    FakeSession g;
    g.w.InjectFault(row.op, L"", 5);
    g.s.log = L"saved\r\n";
    g.s.reboot.saved = true;
    g.w.AddFile(kWorkingFolder + L"\\Reboot_Neat_Log", Utf16Bom(L"saved\r\n"));
    EXPECT_FALSE(RestartWindows(g.s));
    EXPECT_EQ(g.s.log, L"saved\r\n" + row.sentence);
    EXPECT_EQ(g.Utf16File(kWorkingFolder + L"\\Reboot_Neat_Log"), L"saved\r\n" + row.sentence)
        << "the log the user reads after restarting by hand says why";
    EXPECT_TRUE(g.w.restarts.empty());
  }
}

}  // namespace
}  // namespace corvex
