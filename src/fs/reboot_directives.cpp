// Reboot:: and the restart routine.
#include "fs/reboot_directives.h"

#include "base/path.h"
#include "base/text.h"
#include "core/atomic_file.h"
#include "core/session_log.h"
#include "core/working_folders.h"
#include "script/dispatcher.h"

namespace corvex {

namespace {

const wchar_t kRunOnce[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t kPreScript[] = L"Reboot_Pre_Script";
// ExitWindowsEx's reason: planned, application, maintenance.
constexpr uint32_t kRestartReason = 0x80040001;

// The continuation files are rewritten whole, so a failed save leaves the
// old file or the complete new one, never half a script.
platform::Status SaveWorkingText(Session& s, const std::wstring& name, const std::wstring& text) {
  auto made = CreateFolderIfMissing(s, WorkingFolder(s));
  if (!made.ok()) return made;
  return ReplaceFileContents(s.os.fs, AddLongPathPrefix(WorkingFolder(s) + L"\\" + name),
                             "\xFF\xFE" + ToUtf16Le(text));
}

// Reboot_Pre_Script in front of the rest of the script; deleted once it
// is in Reboot_Script, so that a later Reboot:: does not put it there again.
bool SaveScript(Session& s, const std::wstring& rest, std::wstring& report) {
  const std::wstring prePath = WorkingFolder(s) + L"\\" + kPreScript;
  bool ok = true, hasPre = WorkingFileExists(s, kPreScript);
  std::wstring pre;
  if (hasPre) {
    auto read = ReadWorkingFile(s, kPreScript);
    if (read.ok()) {
      pre = *read;
    } else {
      // It stays for the next Reboot:: or a look by hand.
      report += L"Failed to read " + prePath + L" with error code " + ErrorCodeName(read.code()) +
                L". Permissions may not be restored for all files.\r\n";
      hasPre = ok = false;
    }
  }
  if (!pre.empty() && !rest.empty() && pre.back() != L'\n') pre += L"\r\n";
  auto saved = SaveWorkingText(s, L"Reboot_Script", pre + rest);
  if (!saved.ok()) {
    TraceErrorCode(s, saved.code(), L"Failed to save Reboot_Script with error code ");
    report += L"Failed to save script file.\r\n";
    return false;
  }
  if (hasPre) {
    auto gone = s.os.fs.DeleteFile(AddLongPathPrefix(prePath));
    if (!gone.ok())
      report += L"WARNING: Failed to delete " + prePath + L" with error code " + ErrorCodeName(gone.code()) +
                L". A later restart would run its directives again.\r\n";
  }
  return ok;
}

// RunOnce: "<program>" "<Reboot_Script>", every argument quoted; a path that
// holds a quote would break the command and is refused.
bool SetRunOnce(Session& s, std::wstring& report) {
  auto program = s.os.env.ModuleFileName();
  if (!program.ok()) {
    report += L"Failed to get executable path location with error code " + ErrorCodeName(program.code()) + L"\r\n";
  } else if (program->empty()) {
    report += L"Failed to get executable path location: the path is empty.\r\n";
  } else {
    const std::wstring script = WorkingFolder(s) + L"\\Reboot_Script";
    for (const std::wstring& path : {*program, script}) {
      if (path.find(L'"') == std::wstring::npos) continue;
      report += L"Failed to set RunOnce value. The path " + path + L" contains a double quote.\r\n";
      return false;
    }
    platform::RegistryStep step;
    auto st = s.os.system.SetMachineString(kRunOnce, L"Corvex", L"\"" + *program + L"\" \"" + script + L"\"", step);
    if (st.ok()) return true;
    TraceErrorCode(s, st.code(), L"Failed to write the RunOnce value with error code ");
  }
  report += L"Failed to set RunOnce value.\r\n";
  return false;
}

}  // namespace

std::wstring RemainingScript(const std::wstring& script, uint32_t current) {
  std::vector<std::wstring> rest;
  uint32_t headers = 0;
  bool after = false, ownLines = true;
  for (auto line : Split(script, L"\n")) {
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    const bool header = line.find(L"::") != std::wstring::npos;
    if (!after) {
      if (header && ++headers == current) after = true;
      continue;
    }
    if (Trim(line).empty()) continue;
    if (ownLines && !header) continue;
    ownLines = false;
    rest.push_back(line);
  }
  return Join(rest, L"\r\n");
}

bool RebootDirective(Session& s, Lines, const std::wstring&, std::wstring& report) {
  // This directive's sentences, apart from the caller's report: they form
  // its own section in the saved log.
  std::wstring mine;
  const std::wstring rest = s.reboot.valid ? RemainingScript(s.reboot.scriptText, s.directiveNumber) : L"";
  bool ok = SaveScript(s, rest, mine);
  if (!SetRunOnce(s, mine)) ok = false;
  if (!SaveWorkingText(s, L"Reboot_Debug_Log", s.trace).ok()) {
    mine += L"Failed to save debug logfile.\r\n";
    ok = false;
  }
  // The section goes into the log before it is saved, and only a log that
  // was saved carries on: its "completed successfully" is then true.
  WriteDirectiveSection(s, L"Reboot::", mine, ok);
  auto savedLog = SaveWorkingText(s, L"Reboot_Neat_Log", s.log);
  if (!savedLog.ok()) {
    TraceErrorCode(s, savedLog.code(), L"Failed to save Reboot_Neat_Log with error code ");
    mine += L"Failed to save logfile.\r\n";
    ok = false;
  }
  s.reboot.saved = ok;
  s.rebootRequired = true;
  report += mine;
  return ok;
}

bool RestartWindows(Session& s) {
  s.os.console.ShowMessage(L"Corvex",
                           L"Your computer must be restarted in order to complete the fix. Please save and close all "
                           L"open programs and click OK to continue.");
  std::wstring failure;
  auto token = s.os.security.OpenProcessToken();
  if (!token.ok()) {
    failure = L"Failed to open process token with error code " + ErrorCodeName(token.code());
  } else {
    auto luid = s.os.security.LookupPrivilege(L"SeShutdownPrivilege");
    auto on = luid.ok() ? s.os.security.AdjustPrivilege(*token, *luid, true) : luid.status();
    if (!on.ok()) {
      failure = L"Failed to adjust token privileges with error code " + ErrorCodeName(on.code());
    } else if (auto restart = s.os.system.Restart(kRestartReason); !restart.ok()) {
      failure = L"Failed to initiate a restart operation with error code " + ErrorCodeName(restart.code());
    }
  }
  if (failure.empty()) return true;
  failure += L".\r\n";
  AppendToSessionLog(s, failure);
  // Reboot:: saved the log already; the user restarts by hand and the
  // continuation reads the saved one.
  if (s.reboot.saved && WorkingFileExists(s, L"Reboot_Neat_Log"))
    WriteWorkingFile(s, L"Reboot_Neat_Log", failure, TextEncoding::kUtf16, WriteMode::kAppend);
  return false;
}

}  // namespace corvex
