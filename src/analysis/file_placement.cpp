// File Placement Mode: the archive's hive, winsxs folder and store folders
// and files go to their places in one PowerCopy:: run.
#include <vector>

#include "analysis/auto_analysis.h"
#include "analysis/store_checks.h"
#include "base/path.h"
#include "base/text.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "script/dispatcher.h"

namespace corvex {

namespace {

constexpr const wchar_t* kHiveNames[] = {L"COMPONENTS", L"COMPONENTS.hive", L"COMS", L"COMS.hive"};
constexpr const wchar_t* kStorePrefixes[] = {L"amd64_", L"x86_", L"wow64_", L"msil_", L"ia64_"};

bool IsOneOf(const std::wstring& name, const wchar_t* const* list, size_t count, bool prefix) {
  for (size_t i = 0; i < count; ++i)
    if (prefix ? IStartsWith(name, list[i]) : IEquals(name, list[i])) return true;
  return false;
}

// A name Windows keeps as it is below its folder: no separators, no
// stream, and not one that trailing dots and spaces reduce to "" or "..".
bool StaysInFolder(const std::wstring& name) {
  if (name.find_first_of(L"\\/:") != std::wstring::npos) return false;
  std::wstring kept = name;
  while (!kept.empty() && (kept.back() == L'.' || kept.back() == L' ')) kept.pop_back();
  return !kept.empty();
}

// A copy in Temp is load-tested: loading may change the file it loads.
bool HiveLoads(Session& s, const std::wstring& source) {
  const std::wstring copy = TempFolder(s) + L"\\PlacementHiveTest";
  if (!CreateFolderChain(s, TempFolder(s)).ok() ||
      !s.os.fs.CopyFile(AddLongPathPrefix(source), AddLongPathPrefix(copy), false).ok())
    return false;
  const bool loads = HiveFileLoads(s, copy);
  s.os.fs.DeleteFile(AddLongPathPrefix(copy));
  return loads;
}

}  // namespace

bool RunFilePlacementMode(Session& s, const std::wstring& archive, std::wstring& report) {
  const std::wstring winsxs = SystemRoot(s) + L"\\winsxs";
  Lines lines{L"[MODE:3]"};
  std::vector<std::wstring> unplaced;
  bool hive = false;
  auto entries = archive.empty() ? platform::Result<std::vector<platform::FindEntry>>(platform::Error{2})
                                 : s.os.fs.Find(AddLongPathPrefix(archive + L"\\*"));
  if (!entries.ok()) TraceErrorCode(s, entries.code(), L"File Placement Mode: failed to list " + archive + L": ");
  for (const platform::FindEntry& e : entries.ok() ? *entries : std::vector<platform::FindEntry>{}) {
    if (e.name == L"." || e.name == L"..") continue;
    const bool folder = (e.attributes & platform::attr::kDirectory) != 0;
    const std::wstring source = L"\"" + archive + L"\\" + e.name + L"\" ";
    if (!StaysInFolder(e.name)) {
      unplaced.push_back(e.name);
    } else if (!folder && IsOneOf(e.name, kHiveNames, 4, false) && HiveLoads(s, archive + L"\\" + e.name)) {
      hive = true;
      lines.push_back(source + MapSystem32Path(s, SystemRoot(s) + L"\\System32\\config\\COMPONENTS"));
    } else if (folder && IEquals(e.name, L"winsxs")) {
      lines.push_back(source + winsxs + L" [DIR]");
    } else if (IsOneOf(e.name, kStorePrefixes, 5, true)) {
      lines.push_back(source + winsxs + L"\\" + e.name + (folder ? L" [DIR]" : L""));
    } else {
      unplaced.push_back(e.name);
    }
  }
  if (hive) {
    // The hive file cannot be replaced while it is loaded.
    s.os.registry.UnloadHive(L"COMPONENTS");
    s.analysis.storeIndex.reset();
  }

  std::wstring copyReport;
  const bool placing = lines.size() > 1;
  const bool copied = placing && RunDirective(s, L"PowerCopy::", lines, archive, copyReport);
  if (!placing) copyReport = L"No files or folders to place were found in the archive.\r\n";
  const std::wstring failures = Join(unplaced, L"\r\n  ");
  std::wstring text;
  if (copied && unplaced.empty())
    text = L"Success: File Placement Mode successfully identified and repaired all files and folders.\r\n\r\n\r\n";
  else if (copied)
    text = L"ERROR: File Placement Mode failed to identify destinations for all files and folders.\r\n  " + failures +
           L"\r\n\r\n\r\n";
  else if (unplaced.empty())
    text = L"ERROR: File Placement Mode failed to repair all identified files and folders.\r\n\r\n\r\n";
  else
    text = L"ERROR: File Placement Mode failed to identify destinations for all files and failed to repair all "
           L"files and folders. Destination failures: \r\n  " +
           failures + L"\r\n\r\n\r\n";
  report += text + copyReport;
  return copied && unplaced.empty();
}

}  // namespace corvex
