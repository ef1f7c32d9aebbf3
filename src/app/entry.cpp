#include "app/entry.h"

#include <chrono>
#include <thread>

#include "app/directive_table.h"

#include "core/console_output.h"
#include "app/final_logfiles.h"
#include "core/process_runner.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "base/path.h"
#include "base/text.h"
#include "core/working_folders.h"
#include "fs/datablock_count.h"
#include "fs/locked_copy.h"
#include "fs/reboot_directives.h"
#include "analysis/pager.h"
#include "online/crash_report.h"
#include "platform/filesystem.h"
#include "script/dispatcher.h"
#include "script/script_loader.h"

namespace corvex {

namespace {

using online::UpdateOutcome;

void WaitToExit(Session& s, const std::wstring& message) {
  Print(s, message);
  WaitKey(s);
}

// What the run cannot do without, asked for before anything is written:
// the version tests, the System32 mapping, the working folders and the
// program's own path would otherwise rest on made-up values. Empty when all
// are there, else the sentence that ends the run.
std::wstring CheckStartFacts(Session& s, std::wstring& modulePath) {
  auto failed = [](const std::wstring& what, uint32_t code) {
    return L"Failed to " + what + L" with error code " + ErrorCodeName(code) + L".";
  };
  if (auto version = s.os.system.Version(); !version.ok()) return failed(L"read the Windows version", version.code());
  if (auto wow64 = s.os.system.IsWow64(); !wow64.ok())
    return failed(L"find out whether this program runs under WOW64", wow64.code());
  if (auto local = FindLocalAppData(s); !local.ok())
    return failed(L"find the local application data folder", local.code());
  auto module = s.os.env.ModuleFileName();
  if (!module.ok()) return failed(L"read the path of this program", module.code());
  modulePath = *module;
  return L"";
}

void ReadProgramFacts(Session& s, std::vector<std::wstring>& argv, const std::wstring& modulePath) {
  if (argv.empty()) argv.emplace_back();
  if (argv[0].empty()) argv[0] = modulePath;
  s.programPath = argv[0];
  size_t slash = s.programPath.rfind(L'\\');
  s.programFolder = slash == std::wstring::npos ? L"" : s.programPath.substr(0, slash);
  auto version = s.os.env.FileVersion(modulePath);
  if (!version.ok()) {
    // The header and footer then show no version.
    TraceErrorCode(s, version.code(), L"Failed to read the version of " + modulePath + L" with error code ");
    return;
  }
  auto& v = *version;
  s.programVersion = Decimal(v[0]) + L"." + Decimal(v[1]) + L"." + Decimal(v[2]) + L"." + Decimal(v[3]);
  s.versionKnown = true;
}

void WriteHeader(Session& s) {
  AppendToSessionLog(s, L"Corvex version " + s.programVersion + L" by Tallwen.\r\n");
  AppendToSessionLog(s, L"Start time: " + LogTime(s.os.env.Now()) + L"\r\n");
  AppendToSessionLog(s, L"Microsoft " + WindowsDisplayName(s, true) + L" - " + ArchitectureName(s) + L"\r\n");
}

void WriteFooter(Session& s) {
  if (!Trim(s.flashScanReport).empty()) AppendToSessionLog(s, L"\r\n\r\n" + s.flashScanReport + L"\r\n\r\n");
  AppendSessionFooter(s, L"has completed");
}

// The end of a run that crashed: the footer, the pager and the final
// logfiles of a normal end.
CrashEnding CrashEndingOfThisProgram() {
  CrashEnding ending;
  ending.appendFooter = [](Session& s) { AppendSessionFooter(s, L"has encountered an unhandled exception"); };
  ending.showPaged = [](Session& s, const std::wstring& header, const std::wstring& body) {
    ClearConsole(s);
    return ShowPaged(s, 20, false, header, body, L"");
  };
  ending.finalLogfiles = FinalLogfiles;
  return ending;
}

int FinishSession(Session& s) {
  RemoveStaleStagingFiles(s);
  DeleteMatching(s, WorkingFolder(s), L"Reboot_*");
  EmptyWorkingSubfolders(s);
  RemoveEmptyWorkingFolders(s);
  WriteFooter(s);
  if (!FinalLogfiles(s)) Print(s, L"Failed to prepare and open final logfiles.\n");
  return 0;
}

// Hands over to the ID-stamped copy of the program, which replaces the
// program file and starts it again to finish the session; the logs go with
// it. The copy is started only while it is still held as it was checked.
int RestartWithId(Session& s) {
  const std::wstring copy = TempFolder(s) + L"\\_CorvexID.exe";
  auto notRestarted = [&s, &copy](const std::wstring& why) {
    const std::wstring sentence = L"The copy of Corvex carrying the new collection ID (" + copy +
                                  L") was not started: " + why + L". The next collection asks for an ID again.";
    Print(s, sentence + L"\n");
    AppendToSessionLog(s, sentence + L"\r\n");
    s.idCopyHold.reset();
    return FinishSession(s);
  };
  if (!s.idCopyHold) return notRestarted(L"it was not kept unchanged since it was checked");
  s.reboot.saved = true;
  // Saved whole or not at all: a log cut short would carry on as the session.
  auto save = [&s](const wchar_t* name, const std::wstring& text) {
    return CreateFolderIfMissing(s, WorkingFolder(s)).ok() &&
           ReplaceLogFile(s, WorkingFolder(s) + L"\\" + name, text).ok();
  };
  if (!save(L"Reboot_Neat_Log", s.log)) Print(s, L"Failed to save logfile.");
  if (!save(L"Reboot_Debug_Log", s.trace)) Print(s, L"Failed to save debug logfile.");
  RunOptions detached;
  detached.wait = false;
  RunOutcome started = RunProcess(s, copy, L" " + s.programPath + L"?ID", detached);
  s.idCopyHold.reset();
  if (!started.started)
    return notRestarted(L"error code " + ErrorCodeName(started.startError));
  return 0;
}

// The copy that finished an ID restart may still be ending when this start
// empties the Temp folder; a program file left there would stay for good.
void RemoveFinishedIdCopy(Session& s) {
  const std::wstring copy = AddLongPathPrefix(TempFolder(s) + L"\\_CorvexID.exe");
  for (int attempt = 0; attempt <= 200; ++attempt) {
    platform::Status removed = s.os.fs.DeleteFile(copy);
    // Access denied or a sharing violation: it still runs.
    if (removed || (removed.code() != 5 && removed.code() != 32)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// A saved file of the session being continued that is there but cannot be
// read: going on would run without it and then delete it with the other
// saved files, losing the rest of the session. It is kept for the next start.
int StopForUnreadableSavedFile(Session& s, const std::wstring& name, uint32_t code) {
  if (s.hold) FlushTranscript(s, false);
  WaitToExit(s, L"Failed to read the saved session file " + WorkingFolder(s) + L"\\" + name + L" with error code " +
                    ErrorCodeName(code) + L". The saved session is kept for the next start.\n"
                    L"Press any key to exit . . . ");
  return 0;
}

// A continuation whose saved script is a session log would be refused at
// every start. Its files are renamed from "Reboot_" to "Refused_", out of
// the way of the next start; returns the sentence that says so.
std::wstring SetAsideContinuation(Session& s) {
  const std::wstring folder = WorkingFolder(s);
  auto found = s.os.fs.Find(AddLongPathPrefix(folder + L"\\Reboot_*"));
  std::wstring failures;
  if (found.ok()) {
    for (auto& e : *found) {
      if (e.attributes & platform::attr::kDirectory) continue;
      const std::wstring from = folder + L"\\" + e.name;
      const std::wstring to = folder + L"\\Refused_" + e.name.substr(7);
      auto moved = s.os.fs.MoveFile(AddLongPathPrefix(from), AddLongPathPrefix(to), true);
      if (!moved.ok())
        failures += L"Failed to set aside " + from + L" with error code " + ErrorCodeName(moved.code()) + L".\n";
    }
  }
  if (!failures.empty()) return failures;
  return L"The saved session was set aside as " + folder + L"\\Refused_*, so the next start begins a new session.\n";
}

}  // namespace

int RunProgram(Session& s, std::vector<std::wstring> argv, UpdateCheck check, FlashScan scan) {
  s.runFlashScan = scan;
  InstallCrashHandlers(s, CrashEndingOfThisProgram());
  std::wstring modulePath;
  std::wstring missing = CheckStartFacts(s, modulePath);
  if (!missing.empty()) {
    WaitToExit(s, missing + L"\nPress any key to exit . . . ");
    return 0;
  }
  if (IsWindows10OrGreater(s)) s.os.console.FixSize80x25();
  s.os.console.SetTitle(std::wstring(L"Corvex by ") + kSupportDomain);
  // A saved script still places files from the Archive folder; any other
  // start, which may extract a zip there, begins with it empty.
  if (WorkingFileExists(s, L"Reboot_Script"))
    DeleteMatching(s, TempFolder(s), L"*.*");
  else
    EmptyWorkingSubfolders(s);
  if (argv.size() > 1 && !argv[1].empty())
    s.mirror = true;
  else
    s.hold = true;
  Print(s, std::wstring(L"Welcome to Corvex by Tallwen and ") + kSupportDomain + L".\n\n");

  if (!IsWindowsVersionOrGreater(s, 6, 0)) {
    if (s.hold) FlushTranscript(s, false);
    WaitToExit(s, L"Incompatible Operating System detected. This program supports Windows Vista and above only.\n"
                  L"Press any key to exit . . . ");
    return 0;
  }

  ReadProgramFacts(s, argv, modulePath);
  // A run that ended between making a snapshot and deleting it left its ID.
  DeleteLeftShadowCopies(s);
  UpdateOutcome update = check ? check(s, argv) : UpdateOutcome::kContinue;
  if (update == UpdateOutcome::kExit) return 0;

  if (WorkingFileExists(s, L"Reboot_Neat_Log")) {
    auto saved = ReadWorkingFile(s, L"Reboot_Neat_Log");
    if (!saved.ok()) return StopForUnreadableSavedFile(s, L"Reboot_Neat_Log", saved.code());
    // The log a session continues must still open with its header.
    if (!StartsWith(*saved, L"Corvex version ")) WriteHeader(s);
    AppendToSessionLog(s, *saved);
    s.deferredFlashScan = true;
  } else {
    WriteHeader(s);
  }
  if (WorkingFileExists(s, L"Reboot_Debug_Log")) {
    auto saved = ReadWorkingFile(s, L"Reboot_Debug_Log");
    if (!saved.ok()) return StopForUnreadableSavedFile(s, L"Reboot_Debug_Log", saved.code());
    s.trace += *saved;
  }
  if (update == UpdateOutcome::kFinishAfterIdRestart) {
    RemoveFinishedIdCopy(s);
    return FinishSession(s);
  }

  std::wstring script, archive;
  bool loaded = true;
  const bool savedScript = WorkingFileExists(s, L"Reboot_Script");
  if (savedScript) {
    auto saved = ReadWorkingFile(s, L"Reboot_Script");
    if (!saved.ok()) return StopForUnreadableSavedFile(s, L"Reboot_Script", saved.code());
    script = *saved;
    auto a = s.os.fs.GetAttributes(ArchiveFolder(s));
    archive = a.ok() && (*a & platform::attr::kDirectory) ? ArchiveFolder(s) : L"";
  } else if (!LoadScript(s, argv, script, archive)) {
    loaded = false;
    Print(s, L"Failed to read script or malformed script.\n");
  }

  if (StartsWith(script, L"Corvex version")) {
    if (s.hold) FlushTranscript(s, false);
    std::wstring message = L"Detected logfile supplied as script. Script blocked.\n";
    if (savedScript) message += SetAsideContinuation(s);
    WaitToExit(s, message + L"Press any key to exit . . . ");
    return 0;
  }

  if (!s.deferredFlashScan && s.runFlashScan) s.runFlashScan(s);

  RunResult result = Dispatch(s, ProgramDirectives(), script, archive);
  // A script that could not be read ran nothing: that is no success.
  if (!loaded && result == RunResult::kSucceeded) result = RunResult::kFailed;
  const wchar_t* line = nullptr;
  switch (result) {
    case RunResult::kFailed: line = L"Failed to process all directives successfully."; break;
    case RunResult::kSucceeded: line = L"Successfully processed all directives."; break;
    case RunResult::kSucceededRebootPending: line = L"Successfully processed all directives prior to system reboot."; break;
    case RunResult::kFailedRebootPending:
      line = L"Failed to process all directives successfully prior to system reboot.";
      break;
  }
  Print(s, std::wstring(line) + L"\n");
  AppendToSessionLog(s, std::wstring(line) + L"\r\n");

  if (result == RunResult::kSucceededRebootPending || result == RunResult::kFailedRebootPending) {
    if (RestartWindows(s)) return 0;
    WaitToExit(s, L"\nFailed to initiate a system reboot. Please perform a manual reboot immediately.\n"
                  L"Press any key to exit . . . ");
    return 0;
  }
  if (s.idRestart) return RestartWithId(s);
  return FinishSession(s);
}

}  // namespace corvex
