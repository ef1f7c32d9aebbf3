#include "analysis/watchlist_repair.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "core/session_log.h"
#include "core/working_folders.h"
#include "platform/registry.h"
#include "script/dispatcher.h"

namespace corvex {

namespace {

constexpr wchar_t kServicingKey[] =
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\";
constexpr size_t kMachinePrefix = 19;  // "HKEY_LOCAL_MACHINE\"
constexpr wchar_t kOrphanCode[] = L"0x80070002";
constexpr wchar_t kOrphanDetail[] = L"Package registry presence failed, possibly an orphaned package on package watchlist";
constexpr wchar_t kUnidentified[] = L"\"value name not identified\"";

struct Kind {
  const wchar_t* word;  // "package" or "component"
  const wchar_t* key;   // "PackageDetect\" or "ComponentDetect\"
  bool byPrefix;        // component entries are named by the start of their values
};
constexpr Kind kPackage{L"package", L"PackageDetect\\", false};
constexpr Kind kComponent{L"component", L"ComponentDetect\\", true};

// Fields as CheckSUR's lines hold them, without their line ends.
std::wstring Field(const SurtRecord& r, size_t i) {
  if (i >= r.lines.size()) return L"";
  std::wstring f = r.lines[i];
  while (!f.empty() && (f.back() == L'\r' || f.back() == L' ')) f.pop_back();
  size_t start = 0;
  while (start < f.size() && (f[start] == L'\r' || f[start] == L' ')) ++start;
  return f.substr(start);
}

// A key name ends up between "[" and "]" of a registry script and below
// the watchlist key: nothing that would name another key.
bool IsPlainKeyName(const std::wstring& name) {
  return !name.empty() && std::none_of(name.begin(), name.end(), [](wchar_t c) {
    return c == L'\\' || c == L'[' || c == L']' || c < 0x20 || c == 0x7F;
  });
}

std::wstring QuotedValueName(const std::wstring& name) {
  return L"\"" + ReplaceAll(ReplaceAll(name, L"\\", L"\\\\"), L"\"", L"\\\"") + L"\"";
}

// The REG_SZ values of the key (64-bit view) whose names begin with
// `prefix` and are longer than one character.
bool FindValues(Session& s, const std::wstring& key, const std::wstring& prefix, std::vector<std::wstring>& names) {
  auto opened = s.os.registry.OpenKey(platform::RootKey::kLocalMachine, key.substr(kMachinePrefix),
                                      platform::keyaccess::kRead | platform::keyaccess::kWow64_64Key);
  if (!opened.ok()) {
    TraceErrorCode(s, opened.code(), L"Stage 1: failed to open " + key + L" with error code ");
    return false;
  }
  auto values = s.os.registry.Values(*opened);
  if (!values.ok()) {
    TraceErrorCode(s, values.code(), L"Stage 1: failed to list the values of " + key + L" with error code ");
    return false;
  }
  for (const platform::RegistryValue& v : *values)
    if (v.type == platform::regtype::kSz && v.name.size() > 1 && StartsWith(v.name, prefix)) names.push_back(v.name);
  return !names.empty();
}

bool BackedUp(Session& s, const std::wstring& key) {
  auto& done = s.analysis.watchlistBackups;
  for (const std::wstring& k : done)
    if (IEquals(k, key)) return true;
  std::wstring ignored;
  if (!RunDirective(s, L"RegistryExport::", {key}, L"", ignored)) return false;
  done.push_back(key);
  return true;
}

bool RepairOrphanedWatchlistEntry(Session& s, const SurtRecord& r, const Kind& kind, std::wstring& log) {
  const std::wstring code = Field(r, 0), name = Field(r, 1), value = Field(r, 2), detail = Field(r, 3);
  const std::wstring word = kind.word;
  const std::wstring on = L" (" + name + L") on " + word + L" watchlist.\r\n";
  if (r.lines.size() < 4 || code != kOrphanCode || detail != kOrphanDetail) {
    log += L"Failed to repair orphaned " + word + L" " + value + on + L"Logfile error code " + code +
           L" and detail \"" + detail + L"\".\r\n\r\n";
    return false;
  }
  // An empty prefix would take every REG_SZ value of the key.
  if (!IsPlainKeyName(name) || value.empty()) {
    log += L"Failed to repair orphaned " + word + L" " + value + on + L"The finding does not name a single " + word +
           L" and value.\r\n\r\n";
    return false;
  }
  const std::wstring key = kServicingKey + std::wstring(kind.key) + name;
  std::vector<std::wstring> names;
  bool found = true;
  if (kind.byPrefix)
    found = FindValues(s, key, value, names);
  else
    names.push_back(value);

  std::wstring report;
  bool ok = false;
  if (!found) {
    if (names.empty()) names.push_back(kUnidentified);
  } else if (!BackedUp(s, key)) {
    // Nothing is deleted that could not be put back.
    report = L"WARNING: Failed to backup registry key " + key + L".";
  } else {
    Lines script{L"[MODE:1]", L"[" + key + L"]"};
    for (const std::wstring& n : names) script.push_back(QuotedValueName(n) + L"=-");
    ok = RunDirective(s, L"RegistryScript::", script, ArchiveFolder(s), report);
  }
  if (ok) {
    for (const std::wstring& n : names) log += L"FIXED: Orphaned " + word + L" " + n + on;
    ++s.analysis.counters.surtFixed;
    return true;
  }
  for (const std::wstring& n : names) log += L"CORRUPT: Failed to repair orphaned " + word + L" " + n + on;
  log += ReplaceAll(Trim(report), L"\r\n", L"\r\n\r\n") + L"\r\n\r\n";
  return false;
}

}  // namespace

bool RepairWatchlistPackage(Session& s, const SurtRecord& record, std::wstring& log) {
  return RepairOrphanedWatchlistEntry(s, record, kPackage, log);
}

bool RepairWatchlistComponent(Session& s, const SurtRecord& record, std::wstring& log) {
  return RepairOrphanedWatchlistEntry(s, record, kComponent, log);
}

}  // namespace corvex
