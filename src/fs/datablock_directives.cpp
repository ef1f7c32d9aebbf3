#include "fs/datablock_directives.h"

#include <unordered_set>

#include "core/session_log.h"
#include "base/text.h"
#include "core/working_folders.h"
#include "fs/datablock_count.h"
#include "core/datablock_store.h"
#include "fs/datablocks.h"
#include "fs/security_primitives.h"

namespace corvex {

static const wchar_t kSaveFailed[] = L"Failed to save datablocks.\r\n";

// Sentences of a directive that writes the store once at its end: those that
// claim an addition only hold once the write has succeeded.
struct PendingReport {
  struct Line {
    std::wstring text;
    bool claim;
    std::wstring ifNotSaved;  // in place of a claim when the write fails
  };
  std::vector<Line> lines;
  bool claims = false;

  void Add(std::wstring text) { lines.push_back({std::move(text), false, L""}); }
  void Claim(std::wstring text, std::wstring ifNotSaved) {
    lines.push_back({std::move(text), true, std::move(ifNotSaved)});
    claims = true;
  }
  std::wstring Text(bool saved) const {
    std::wstring out;
    for (const Line& l : lines) out += l.claim && !saved ? l.ifNotSaved : l.text;
    return out;
  }
};

bool DataBlockDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  DataBlockStore store;
  if (!store.Load(s)) {
    report += UnreadableStoreSentence(store.error()) + L"\r\n";
    return false;
  }
  bool ok = true;
  PendingReport out;
  for (auto& line : lines) {
    std::wstring unquoted = ReplaceAll(line, L"\"", L"");
    // A blank line is no record: it would be reported as added and then
    // vanish from the store.
    if (Trim(unquoted).empty()) continue;
    size_t bar = unquoted.find(L'|');
    // A line without security, or with no path for it, would be stored as a
    // record no restore can use, and would then hold the key against the
    // complete record.
    if (bar == std::wstring::npos) {
      out.Add(L"Did not add datablock for " + StoredPath(s, unquoted) +
              L". The line holds no \"|\" between the path and its security.\r\n");
      ok = false;
      continue;
    }
    // The key is what is put in stored form: a line whose path is the
    // Sysnative folder itself has its SDDL in the same path component.
    std::wstring key = StoredPath(s, unquoted.substr(0, bar));
    if (Trim(key).empty()) {
      out.Add(L"Did not add datablock from line " + line + L". The line names no file or folder before its \"|\".\r\n");
      ok = false;
      continue;
    }
    if (store.FindKey(key)) {
      out.Add(L"Did not add datablock for " + key + L". A datablock for this item already exists.\r\n");
      continue;
    }
    store.Add(key + unquoted.substr(bar));
    out.Claim(L"Successfully added datablock for " + key + L"\r\n", L"");
  }
  if (!out.claims) {
    report += out.Text(true);
    return ok;
  }
  if (!store.Save(s)) {
    report += out.Text(false) + kSaveFailed;
    return false;
  }
  report += out.Text(true);
  return ok;
}

bool CreateDataBlocksDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  DataBlockStore store;
  // Read once, before any icacls run; an unreadable store fails each line
  // that would have been stored.
  bool readable = store.Load(s);
  PendingReport out;
  for (auto& line : lines) {
    const std::wstring path = StoredPath(s, line);
    const std::wstring failed = L"Failed to create datablock for " + path + L". ";
    CapturedRecord captured = CaptureFileRecord(s, path, L"", L"aclfile", L" /Q");
    const RunOutcome& run = captured.run;
    switch (captured.status) {
      case Capture::kOk:
        if (!readable) {
          out.Add(failed + UnreadableStoreSentence(store.error()) + L"\r\n");
        } else if (store.FindFileRecord(path)) {
          out.Add(failed + L"Datablock already exists.\r\n");
        } else {
          store.Add(captured.record);
          out.Claim(L"Successfully created datablock for " + path + L".\r\n", failed + kSaveFailed);
          continue;
        }
        break;
      case Capture::kNotRestorable:
        out.Add(failed + L"Trailing backslash or length error.\r\n");
        break;
      case Capture::kNoWorkingFolder:
        out.Add(failed + L"Failed to create the temporary folder.\r\n");
        break;
      case Capture::kNotStarted:
        out.Add(failed + L"Failed to create process with error code " + Decimal(run.startError) + L".\r\n");
        break;
      case Capture::kFailed:
        if (run.waitError != 0)
          out.Add(failed + L"Failed to wait for process with error code " + ErrorCodeName(run.waitError) + L".\r\n");
        else
          out.Add(failed + L"Process returned with error code " + ErrorCodeName(run.Failure()) + L".\r\n");
        break;
      case Capture::kSaveMissing:
        out.Add(failed + L"File not found.\r\n");
        break;
      case Capture::kSaveUnusable:
        out.Add(failed + L"Failed to process file.\r\n");
        break;
    }
    ok = false;
  }
  bool saved = !out.claims || store.Save(s);
  report += out.Text(saved);
  ReleaseSecurityState(s);
  return ok && saved;
}

bool DeleteDataBlocksDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  if (lines.empty()) {
    if (!DataBlockStore().Save(s)) {
      report += kSaveFailed;
      return false;
    }
    report += L"Successfully deleted all datablocks.";
    return true;
  }
  DataBlockStore store;
  if (!store.Load(s)) {
    report += UnreadableStoreSentence(store.error()) + L"\r\n";
    return false;
  }
  std::unordered_set<std::wstring> wanted;
  for (auto& line : lines) wanted.insert(StoredPath(s, line));
  std::vector<std::wstring> removed = store.Remove(wanted);
  if (removed.empty()) return true;
  if (!store.Save(s)) {
    report += kSaveFailed;
    return false;
  }
  for (auto& key : removed) report += L"Successfully deleted datablock for file " + key + L"\r\n";
  return true;
}

bool PrintDataBlocksDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  DataBlockStore store;
  // An unreadable store is not an empty one.
  if (!store.Load(s)) {
    report += UnreadableStoreSentence(store.error()) + L"\r\n";
    return false;
  }
  const auto& records = store.records();
  if (lines.empty()) {
    report += records.empty() ? L"There are currently no stored datablocks." : Join(records, L"\r\n");
    return true;
  }
  for (auto& line : lines) {
    std::wstring path = StoredPath(s, line);
    const std::wstring* record = store.FindKey(path);
    report += record ? *record + L"\r\n" : L"No datablock exists for " + path + L"\r\n";
  }
  report += L"Currently storing a total of " + Decimal(records.size()) + L" datablocks.\r\n";
  return true;
}

bool CountDataBlocksDirective(Session& s, Lines, const std::wstring&, std::wstring& report) {
  bool readable = true;
  report += StoredDataBlocksSentence(s, &readable);
  return readable;
}

}  // namespace corvex
