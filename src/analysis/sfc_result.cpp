#include "analysis/sfc_result.h"

#include "analysis/corrupt_file.h"
#include "analysis/log_analysis.h"
#include "analysis/store_checks.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/process_runner.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "script/dispatcher.h"

namespace corvex {

namespace {

const wchar_t kSettingsIniText[] =
    L"SFC reported the file settings.ini as corrupt. This file belongs to the Windows Media Center components "
    L"and is changed on purpose by Windows itself after it has been installed, so its hash no longer matches the "
    L"one recorded in the component store. This is harmless and needs no repair; SFC and SURT may go on "
    L"reporting it..";
const wchar_t kTcpmonIniText[] =
    L"SFC reported the file tcpmon.ini as corrupt. The printer port monitor's settings file is rewritten by "
    L"printer drivers and by Windows when ports are added, so its hash no longer matches the one recorded in the "
    L"component store. This is harmless and needs no repair; SFC may go on reporting it..";

const wchar_t kDismNotice[] =
    L"\n\nDue to the nature of your corruptions, scan times have been extended by\napproximately 15-20 minutes. "
    L"Please be patient and allow the operation to\ncomplete.\n\n";

// The one DISM run CNBJ2530.DPB needs on Windows 8 and later: the store
// cannot hold a good copy of that driver file, only DISM can fetch it.
bool RunDismForCnbj2530(Session& s) {
  s.os.console.Clear();
  Print(s, std::wstring(L"Welcome to Corvex by Tallwen and ") + kSupportDomain + kDismNotice);
  RunOptions options;
  options.visible = true;
  RunOutcome dism = RunProcess(s, MapSystem32Path(s, SystemRoot(s) + L"\\System32\\dism.exe"),
                               L" /Online /Cleanup-Image /RestoreHealth", options);
  s.os.console.Clear();
  s.os.console.Write(s.transcript);
  s.analysis.dismDone = true;
  return dism.Failure() == 0;
}

void RepairStorePermissions(Session& s, const SfcResultFields& f, std::wstring& log) {
  StoreNames found = StoreNamesFromIdentity(s, f.component, f.version, f.architecture, f.culture, f.publicKeyToken);
  if (found.returnCode > 0) {
    log += L"WARNING: Failed to get store name from identity name with return code " + Decimal(found.returnCode) +
           L".\r\n";
    return;
  }
  Lines folders;
  for (const std::wstring& name : found.names)
    if (IStartsWith(name, f.architecture) && name.find(f.version) != std::wstring::npos)
      folders.push_back(SystemRoot(s) + L"\\winsxs\\" + name);
  std::wstring report;
  RunDirective(s, L"RepairPermissions::", folders, ArchiveFolder(s), report);
  log += report;
}

bool CultureMatches(const std::wstring& storeName, const std::wstring& culture) {
  const std::wstring part = IEquals(culture, L"neutral") ? L"_none_" : L"_" + culture + L"_";
  return IContains(storeName, part);
}

}  // namespace

void AnalyseSfcResult(Session& s, const std::wstring& text, std::wstring& log) {
  AnalysisState& a = s.analysis;
  SfcResultFields f;
  std::wstring missing;
  if (!ParseSfcResult(text, f, missing)) {
    // Still SFC's finding: counted, and the run cannot claim it saw all.
    log += L"CORRUPT: SFC result line could not be read (" + missing + L" missing): " + text + L"\r\n\r\n";
    a.counters.cbsDetected += 1;
    a.notExamined.push_back(L"An SFC result line of CBS.log could not be read: " + text);
    return;
  }
  if (f.reason == L"file cannot be checked") {
    log += L"SFC verification failure on file " + f.file + L" of component " + f.component + L" (" + f.architecture +
           L", version " + f.version + L"). Permissions may be damaged - attempting automatic repair.\r\n";
    RepairStorePermissions(s, f, log);
    return;
  }
  if (IContains(text, L"\\CNBJ2530.DPB") && IsWindowsVersionOrGreater(s, 6, 2)) {
    if (!a.cnbj2530Repaired && !a.dismDone) a.cnbj2530Repaired = RunDismForCnbj2530(s);
    a.counters.cbsDetected += 1;
    if (a.cnbj2530Repaired) {
      log += L"FIXED: Performed DISM repair on file " + f.file + L" of version " + f.version + L".\r\n";
      a.counters.cbsFixed += 1;
    } else {
      log += L"CORRUPT: DISM repair failed on file " + f.file + L" of version " + f.version + L".\r\n";
    }
    return;
  }
  StoreNames found = StoreNamesFromIdentity(s, f.component, f.version, f.architecture, f.culture, f.publicKeyToken);
  if (found.returnCode > 0) {
    log += L"WARNING: Failed to get store name from identity name with return code " + Decimal(found.returnCode) +
           L" for component " + f.component + L" and file " + f.file + L". File is reported as corrupt by SFC.\r\n";
    log += L"CORRUPT: " + f.file + L" of component " + f.component + L".\r\n\r\n";
    a.counters.cbsDetected += 1;
    return;
  }
  bool anyFolder = false;
  for (const std::wstring& name : found.names) {
    if (!CultureMatches(name, f.culture)) continue;
    anyFolder = true;
    if (IEquals(f.file, L"settings.ini") && !a.settingsIniExplained) {
      a.explanations.push_back(kSettingsIniText);
      a.counters.cbsUnimportant += 1;
      a.settingsIniExplained = true;
      continue;
    }
    if (IEquals(f.file, L"tcpmon.ini") && !a.tcpmonIniExplained) {
      a.explanations.push_back(kTcpmonIniText);
      a.counters.cbsUnimportant += 1;
      a.tcpmonIniExplained = true;
      continue;
    }
    // The crossed-hardlink repair covers these two.
    if ((IEquals(f.file, L"Pretty_Peacock.jpg") && f.version == L"6.1.7601.18126") ||
        (IEquals(f.file, L"iassdo.dll.mui") && f.version == L"6.1.7600.16385"))
      continue;
    RegisterCorruptFile(s, name, f.file);
  }
  if (!anyFolder) {
    // SFC's finding stands even when the store has no directory for it.
    log += L"CORRUPT: " + f.file + L" of component " + f.component + L" (" + f.architecture + L", version " +
           f.version + L", " + f.reason + L"): no store directory was found for it.\r\n\r\n";
    a.counters.cbsDetected += 1;
  }
}

}  // namespace corvex
