#include "app/final_logfiles.h"

#include "core/atomic_file.h"
#include "core/console_output.h"
#include "core/process_runner.h"
#include "core/session_log.h"
#include "base/text.h"
#include "core/working_folders.h"
#include "fs/datablock_count.h"
#include "script/script_list.h"

namespace corvex {

platform::Status ReplaceLogFile(Session& s, const std::wstring& path, const std::wstring& text) {
  return ReplaceFileContents(s.os.fs, s.os.env.Expand(path, 512), "\xFF\xFE" + ToUtf16Le(text));
}

void AppendSessionFooter(Session& s, const std::wstring& how) {
  AppendToSessionLog(s, L"Corvex version " + s.programVersion + L" by Tallwen " + how + L".\r\n");
  AppendToSessionLog(s, StoredDataBlocksSentence(s) + L"\r\n");
  AppendToSessionLog(s, L"Finish time: " + LogTime(s.os.env.Now()));
  if (!s.scriptHash.empty()) AppendToSessionLog(s, L"\r\nScript hash: " + s.scriptHash);
  AppendToSessionLog(s, L"\r\n----------------------EOF-----------------------");
}

static void Complain(Session& s, const std::wstring& message) {
  Print(s, message + L"\nPress any key to continue . . . ");
  WaitKey(s);
  Print(s, L"\n");
}

bool FinalLogfiles(Session& s) {
  bool ok = true;
  std::wstring desktop;
  auto folder = s.os.env.GetKnownFolder(platform::KnownFolder::kDesktop);
  if (folder.ok()) {
    desktop = *folder;
  } else {
    Complain(s, L"\nERROR: Failed to write final logfile to Desktop with error code " + ErrorCodeName(folder.code()) + L".");
    ok = false;
  }
  const std::wstring logPath = s.os.env.Expand(desktop + L"\\Corvex.txt", 512);
  const std::wstring tracePath = s.os.env.Expand(desktop + L"\\Trace.txt", 512);

  auto written = ReplaceLogFile(s, logPath, s.log);
  if (!written.ok()) {
    Complain(s, L"\nERROR: Failed to write final logfile (" + logPath + L") with error code " +
                    Decimal(static_cast<uint64_t>(ErrnoFromWin32(written.code()))) + L". File may be in use.");
    ok = false;
  }
  if (s.saveDebugLog) {
    if (Trim(s.trace).empty()) s.trace += L"There have been no debug trace events.";
    auto traced = ReplaceLogFile(s, tracePath, s.trace);
    if (!traced.ok()) {
      Complain(s, L"\nERROR: Failed to write debug logfile (" + tracePath + L") with error code " +
                      Decimal(static_cast<uint64_t>(ErrnoFromWin32(traced.code()))) + L". File may be in use.");
      ok = false;
    }
  }

  const std::wstring permanent = s.os.env.Expand(L"%SystemDrive%\\Corvex", 512);
  if (!CreateFolderChain(s, permanent).ok())
    Complain(s, L"\nWARNING: Failed to write logfile to permanent location with return code 0x1.");
  const std::wstring stamp = FileNameTime(s.os.env.Now());
  if (ScriptListRecord(s, stamp) == ScriptListRecordResult::kWriteFailed)
    Complain(s, L"\nWARNING: Failed to write script hash to permanent location.");
  if (!ReplaceLogFile(s, permanent + L"\\Corvex (" + stamp + L").log", s.log).ok())
    Complain(s, L"\nWARNING: Failed to write logfile to permanent location with return code 0x2.");
  if (s.saveDebugLog && !ReplaceLogFile(s, permanent + L"\\Trace (" + stamp + L").log", s.trace).ok())
    Complain(s, L"\nWARNING: Failed to write logfile to permanent location with return code 0x3.");

  RunOptions notepad;
  notepad.wait = false;
  notepad.visible = true;
  if (!RunProcess(s, L"%WinDir%\\Notepad.exe", L" " + logPath, notepad).started) ok = false;
  if (s.saveDebugLog && !RunProcess(s, L"%WinDir%\\Notepad.exe", L" " + tracePath, notepad).started) ok = false;
  return ok;
}

}  // namespace corvex
