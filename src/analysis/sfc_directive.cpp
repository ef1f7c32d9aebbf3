#include "analysis/sfc_directive.h"

#include "base/text.h"
#include "core/process_runner.h"
#include "core/session_log.h"
#include "core/system_facts.h"

namespace corvex {

std::wstring NativeSystemTool(Session& s, const std::wstring& exeName) {
  return MapSystem32Path(s, SystemRoot(s) + L"\\System32\\" + exeName);
}

static bool RunSfc(Session& s, const std::wstring& arguments, std::wstring& report) {
  RunOptions options;
  options.visible = true;
  const std::wstring sfc = NativeSystemTool(s, L"sfc.exe");
  RunOutcome run = RunProcess(s, sfc, L" " + arguments, options);
  if (!run.started || run.waitError) {
    report += L"Failed to run System File Checker with arguments " + arguments + L" with error code " +
              ErrorCodeName(run.Failure()) + L".\r\n";
    return false;
  }
  if (run.exitCode != 0) {
    report += L"System File Checker with arguments " + arguments + L" ended with exit code " +
              HexCode(run.exitCode) + L".\r\n";
    return false;
  }
  return true;
}

bool SfcDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  if (lines.empty()) return RunSfc(s, L"/scannow", report);
  for (const std::wstring& line : lines) {
    std::wstring arguments = ReplaceAll(Trim(line), L"\\", L"/");
    if (!StartsWith(arguments, L"/")) arguments.insert(0, L"/");
    if (!RunSfc(s, arguments, report)) return false;
  }
  return true;
}

}  // namespace corvex
