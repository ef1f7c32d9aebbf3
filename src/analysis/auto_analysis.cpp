#include "analysis/auto_analysis.h"

#include <set>
#include <vector>

#include "analysis/log_analysis.h"
#include "analysis/pager.h"
#include "analysis/sfc_directive.h"
#include "analysis/store_checks.h"
#include "analysis/summary.h"
#include "analysis/watchlist_repair.h"
#include "base/path.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/process_runner.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "script/dispatcher.h"

namespace corvex {

namespace {

void ShowIntro(Session& s) {
  for (int i = 0; i < kIntroPages; ++i) {
    ClearConsole(s);
    ShowPaged(s, 22, false, L"", IntroPage(i), L"\nPress any key to continue . . . ");
  }
  RedrawFromTranscript(s);
}

bool FolderExists(Session& s, const std::wstring& path) {
  auto a = s.os.fs.GetAttributes(AddLongPathPrefix(path));
  return a.ok() && (*a & platform::attr::kDirectory);
}

bool FileExists(Session& s, const std::wstring& path) {
  auto a = s.os.fs.GetAttributes(AddLongPathPrefix(path));
  return a.ok() && !(*a & platform::attr::kDirectory);
}

// Runs sfc /scannow again after store directories were recreated.
void RerunSfc(Session& s) {
  std::wstring report;
  if (!SfcDirective(s, {}, L"", report))
    s.analysis.notExamined.push_back(L"System File Checker did not complete its re-run after the store directories "
                                     L"were recreated: " + Trim(report));
}

void RepairStoreDirectories(Session& s, const std::wstring& archive, std::wstring& log) {
  Print(s, L"Checking store directories . . . ");
  if (s.skipMask & skip::kStoreDirectories) return;
  MissingStoreDirectories missing = FindMissingStoreDirectories(s, log);
  if (missing.returnCode != 0) {
    log += L"WARNING: Failed to check store directories with return code " + DecimalSigned(missing.returnCode) +
           L" and error code " + Decimal(missing.errorCode) + L". COMPONENTS hive may be corrupt.\r\n\r\n";
    return;  // the search itself says what it could not examine
  }
  if (missing.paths.empty()) return;
  s.analysis.counters.cbsDetected += static_cast<uint32_t>(missing.paths.size());

  const std::wstring winsxs = SystemRoot(s) + L"\\winsxs";
  std::wstring report;
  if (!RunDirective(s, L"TakePermissions::", {winsxs}, archive, report)) log += L"WARNING: " + report;
  Lines create{L"[MODE:1]"};
  create.insert(create.end(), missing.paths.begin(), missing.paths.end());
  RunDirective(s, L"CreateDirectory::", create, archive, report);
  log += report;
  if (!RunDirective(s, L"RestorePermissions::", {winsxs}, archive, report)) log += L"WARNING: " + report;
  log += L"\r\n";
  // Only what is there now is repaired.
  for (const std::wstring& path : missing.paths)
    if (FolderExists(s, path)) ++s.analysis.counters.cbsFixed;

  Print(s,
        L"\n\nA missing store directory has been detected and repaired. SFC must be re-run\nand this will increase "
        L"diagnosis times by approximately 15 minutes.\n\n");
  RerunSfc(s);
}

void ReadCbsLogs(Session& s, std::vector<CbsRecord>& records) {
  Print(s, L"\nChecking CBS.log . . . ");
  if (s.skipMask & skip::kCbsLog) return;
  const std::wstring path = SystemRoot(s) + L"\\Logs\\CBS\\CBS.log";
  const size_t unexamined = s.analysis.notExamined.size();
  if (ReadCbsLog(s, path, cbs_kind::kMemberFile | cbs_kind::kComponent | cbs_kind::kCsiError, records)) return;
  // The persisted logs are for a CBS.log that never saw an SFC run.
  auto hasResults = LogHasSfcResults(s, path);
  if (!hasResults.ok()) {
    if (s.analysis.notExamined.size() == unexamined)
      s.analysis.notExamined.push_back(L"The log " + path + L" could not be read (error code " +
                                       ErrorCodeName(hasResults.code()) + L").");
    return;
  }
  if (*hasResults) return;
  Print(s, L"\nChecking CBS.persist.log . . . ");
  ReadPersistedCbsLogs(s, records);
}

void ReadCheckSurLogs(Session& s, std::vector<SurtRecord>& records, std::vector<std::wstring>& fileLines) {
  Print(s, L"\nChecking CheckSUR.log . . . ");
  if (s.skipMask & skip::kCheckSurLog) return;
  if (!ReadCheckSurLog(s, false, records, fileLines)) return;
  Print(s, L"\nChecking CheckSUR.persist.log . . . ");
  ReadCheckSurLog(s, true, records, fileLines);
}

void AnalyseRecords(Session& s, const std::vector<CbsRecord>& records, std::wstring& log) {
  Print(s, L"\n\nAttempting repair . . . ");
  std::set<std::wstring> seen;
  bool manifestDamage = false;
  for (const CbsRecord& r : records) {
    if (!seen.insert(r.text).second) continue;
    if (r.kind == cbs_kind::kMemberFile)
      AnalyseSfcResult(s, r.text, log);
    else if (AnalyseManifestDamage(s, r.text, log))
      manifestDamage = true;
  }
  if (manifestDamage) log += L"\r\n";
}

// Stage 1: the orphaned watchlist entries CheckSUR found.
void RunWatchlistStage(Session& s, const std::vector<SurtRecord>& records, std::wstring& log) {
  Print(s, L"\nStage 1 ");
  for (const SurtRecord& r : records) {
    if (IEquals(r.category, L"CBS Watchlist Component Missing"))
      RepairWatchlistComponent(s, r, log);
    else if (IEquals(r.category, L"CBS Watchlist Package Missing"))
      RepairWatchlistPackage(s, r, log);
  }
}

void DismFallback(Session& s, std::wstring& log) {
  AnalysisState& a = s.analysis;
  if (a.dismDone) return;
  if (FileExists(s, SystemRoot(s) + L"\\Logs\\CBS\\CheckSUR.log")) {
    a.dismDone = true;
    return;
  }
  if (!a.dismWanted || !IsWindowsVersionOrGreater(s, 6, 2)) return;
  Print(s,
        L"\n\nDue to the nature of your corruptions, scan times have been extended by\napproximately 15-20 minutes. "
        L"Please be patient and allow the operation to\ncomplete.\n\n");
  RunOptions options;
  options.visible = true;
  RunOutcome run = RunProcess(s, NativeSystemTool(s, L"dism.exe"), L" /Online /Cleanup-Image /RestoreHealth", options);
  if (run.Failure() == 0) {
    log += L"Performed DISM repair (DISM /Online /Cleanup-Image /RestoreHealth completed successfully).\r\n\r\n";
  } else {
    log += L"WARNING: DISM /Online /Cleanup-Image /RestoreHealth failed with error code " +
           ErrorCodeName(run.Failure()) + L". The damage it was to repair remains.\r\n\r\n";
    a.notExamined.push_back(L"DISM could not repair what only DISM repairs (error code " +
                            ErrorCodeName(run.Failure()) + L").");
  }
  WaitKey(s);
  ClearConsole(s);
  FlushTranscript(s, false);
  a.dismDone = true;
}

}  // namespace

bool AutoAnalysisDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report) {
  const std::wstring first = lines.empty() ? L"" : Trim(lines[0]);
  if (IEquals(first, L"DisplayIntro") || IEquals(first, L"Display Intro")) ShowIntro(s);
  if (s.deferredFlashScan && s.runFlashScan) s.runFlashScan(s);
  if (IEquals(first, L"FilePlacementMode")) return RunFilePlacementMode(s, archive, report);

  std::wstring log;
  RepairStoreDirectories(s, archive, log);
  std::vector<CbsRecord> cbs;
  std::vector<SurtRecord> surt;
  std::vector<std::wstring> surtFiles;
  ReadCbsLogs(s, cbs);
  ReadCheckSurLogs(s, surt, surtFiles);
  TestComponentsHive(s, log);
  RepairCrossedHardlink(s, log);

  if (!cbs.empty() || !surt.empty() || !surtFiles.empty()) {
    AnalyseRecords(s, cbs, log);
    RunWatchlistStage(s, surt, log);
    RunRepairStages(s, archive, log);
    DismFallback(s, log);
  }

  const int code = ChooseSummary(s.analysis);
  log += SummaryText(s.analysis, code);
  TraceInfo(s, L"Summary code " + Decimal(static_cast<uint64_t>(code)) + L".");
  Print(s, L"\n\n");
  ShowExplanations(s, code);
  report += log;
  return true;
}

}  // namespace corvex
