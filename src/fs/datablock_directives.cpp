#include "fs/datablock_directives.h"

#include "core/session_log.h"
#include "base/text.h"
#include "core/working_folders.h"
#include "fs/datablock_count.h"
#include "fs/datablock_store.h"
#include "fs/datablocks.h"
#include "fs/security_primitives.h"

namespace corvex {

static const wchar_t kSaveFailed[] = L"Failed to save datablocks.\r\n";

bool DataBlockDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  std::vector<std::wstring> records;
  if (!ReadDataBlockStore(s, records)) {
    report += kSaveFailed;
    return false;
  }
  std::vector<std::wstring> keys;
  for (auto& r : records) keys.push_back(RecordKey(r));
  // The success sentences only count once the store is written.
  std::wstring skipped, added, all;
  for (auto& line : lines) {
    // The key is what is put in stored form: a line whose path is the
    // Sysnative folder itself has its SDDL in the same path component.
    std::wstring unquoted = ReplaceAll(line, L"\"", L"");
    size_t bar = unquoted.find(L'|');
    std::wstring key = StoredPath(s, unquoted.substr(0, bar));
    std::wstring record = bar == std::wstring::npos ? key : key + unquoted.substr(bar);
    // A blank line is no record: it would be reported as added and then
    // vanish from the store.
    if (Trim(record).empty()) continue;
    bool known = false;
    for (auto& k : keys) known |= k == key;
    if (known) {
      std::wstring sentence = L"Did not add datablock for " + key + L". A datablock for this item already exists.\r\n";
      skipped += sentence;
      all += sentence;
      continue;
    }
    records.push_back(record);
    keys.push_back(key);
    std::wstring sentence = L"Successfully added datablock for " + key + L"\r\n";
    added += sentence;
    all += sentence;
  }
  if (added.empty()) {
    report += all;
    return true;
  }
  if (!WriteDataBlockStore(s, records)) {
    report += skipped + kSaveFailed;
    return false;
  }
  report += all;
  return true;
}

bool CreateDataBlocksDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  for (auto& line : lines) {
    const std::wstring path = StoredPath(s, line);
    const std::wstring failed = L"Failed to create datablock for " + path + L". ";
    EnsureWorkingFolders(s);
    const std::wstring aclFile = TempFolder(s) + L"\\aclfile";
    // A file left by an earlier line or run must never be read as this one's.
    s.os.fs.DeleteFile(aclFile);
    RunOutcome run = RunIcacls(s, L" " + QuoteArgument(path) + L" /save " + QuoteArgument(aclFile) + L" /Q");
    SavedAcl acl;
    SavedAclStatus parsed = SavedAclStatus::kMissing;
    if (!run.started) {
      report += failed + L"Failed to create process with error code " + Decimal(run.startError) + L".\r\n";
    } else if (run.exitCode != 0) {
      report += failed + L"Process returned with error code " + ErrorCodeName(run.exitCode) + L".\r\n";
    } else if ((parsed = ReadIcaclsSave(s, aclFile, path, acl)) == SavedAclStatus::kMissing) {
      report += failed + L"File not found.\r\n";
    } else if (parsed == SavedAclStatus::kUnusable) {
      report += failed + L"Failed to process file.\r\n";
    } else {
      std::vector<std::wstring> records;
      if (!ReadDataBlockStore(s, records)) {
        report += failed + kSaveFailed;
      } else if (FindFileRecord(records, path)) {
        report += failed + L"Datablock already exists.\r\n";
      } else {
        records.push_back(path + L"|" + acl.sddl + L"|" + ReadOwner(s, path).value_or(platform::sid::kNull));
        if (WriteDataBlockStore(s, records)) {
          report += L"Successfully created datablock for " + path + L".\r\n";
          s.os.fs.DeleteFile(aclFile);
          continue;
        }
        report += failed + kSaveFailed;
      }
    }
    ok = false;
    s.os.fs.DeleteFile(aclFile);
  }
  ReleaseSecurityState(s);
  return ok;
}

bool DeleteDataBlocksDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  if (lines.empty()) {
    if (!WriteDataBlockStore(s, {})) {
      report += kSaveFailed;
      return false;
    }
    report += L"Successfully deleted all datablocks.";
    return true;
  }
  std::vector<std::wstring> records;
  if (!ReadDataBlockStore(s, records)) {
    report += kSaveFailed;
    return false;
  }
  std::vector<std::wstring> wanted;
  for (auto& line : lines) wanted.push_back(StoredPath(s, line));
  std::vector<std::wstring> kept;
  std::wstring deleted;
  for (auto& r : records) {
    std::wstring key = RecordKey(r);
    bool drop = false;
    for (auto& w : wanted) drop |= w == key;
    if (drop)
      deleted += L"Successfully deleted datablock for file " + key + L"\r\n";
    else
      kept.push_back(r);
  }
  if (deleted.empty()) return true;
  if (!WriteDataBlockStore(s, kept)) {
    report += kSaveFailed;
    return false;
  }
  report += deleted;
  return true;
}

bool PrintDataBlocksDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  std::vector<std::wstring> records;
  ReadDataBlockStore(s, records);
  if (lines.empty()) {
    report += records.empty() ? L"There are currently no stored datablocks." : Join(records, L"\r\n");
    return true;
  }
  for (auto& line : lines) {
    std::wstring path = StoredPath(s, line);
    const std::wstring* record = FindRecordWithKey(records, path);
    report += record ? *record + L"\r\n" : L"No datablock exists for " + path + L"\r\n";
  }
  report += L"Currently storing a total of " + Decimal(CountStoredDataBlocks(s)) + L" datablocks.\r\n";
  return true;
}

bool CountDataBlocksDirective(Session& s, Lines, const std::wstring&, std::wstring& report) {
  report += L"Currently storing " + Decimal(CountStoredDataBlocks(s)) + L" datablocks.";
  return true;
}

}  // namespace corvex
