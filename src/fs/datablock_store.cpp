#include "fs/datablock_store.h"

#include "base/path.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "base/text.h"
#include "core/text_file.h"
#include "core/working_folders.h"
#include "core/text_reader.h"

namespace corvex {

namespace err = platform::err;

static const wchar_t kTemporaryName[] = L"DataBlocks.new";

std::wstring StoredPath(Session& s, const std::wstring& path) {
  return UnmapSystem32Path(s, StripLongPathPrefix(ReplaceAll(path, L"\"", L"")));
}

std::wstring RecordKey(const std::wstring& record) { return record.substr(0, record.find(L'|')); }

std::vector<std::wstring> SplitRecords(const std::wstring& content) {
  // CR LF is what the store is written with; a store edited by hand or left
  // by another writer may end its lines with CR or LF alone, and every one
  // of its records must still be found.
  std::vector<std::wstring> records;
  const std::wstring text = Trim(content);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring piece = text.substr(start, end - start);
    if (!Trim(piece).empty()) records.push_back(piece);
    start = end + 1;
  }
  return records;
}

static std::wstring StorePath(Session& s) { return WorkingFolder(s) + L"\\" + kDataBlockStoreName; }

bool ReadDataBlockStore(Session& s, std::vector<std::wstring>& records) {
  records.clear();
  auto bytes = s.os.fs.ReadFile(StorePath(s));
  if (!bytes.ok()) {
    if (bytes.code() == err::kFileNotFound || bytes.code() == err::kPathNotFound) return true;
    TraceErrorCode(s, bytes.code(), L"Failed to read the datablock store: ");
    return false;
  }
  records = SplitRecords(DecodeText(*bytes));
  return true;
}

bool WriteDataBlockStore(Session& s, const std::vector<std::wstring>& records) {
  const std::wstring store = StorePath(s);
  auto& fs = s.os.fs;
  if (records.empty()) {
    auto removed = fs.DeleteFile(store);
    if (removed.ok() || removed.code() == err::kFileNotFound || removed.code() == err::kPathNotFound) return true;
    TraceErrorCode(s, removed.code(), L"Failed to delete the datablock store: ");
    // An empty store reads as no records; write one in its place.
  }
  if (!CreateFolderIfMissing(s, WorkingFolder(s))) {
    TraceError(s, L"Failed to create the working folder for the datablock store.");
    return false;
  }
  const std::wstring temporary = WorkingFolder(s) + L"\\" + kTemporaryName;
  auto written = WriteTextFile(s, temporary, Trim(Join(records, L"\r\n")));
  if (!written.ok()) {
    TraceErrorCode(s, written.code(), L"Failed to write the new datablock store: ");
    fs.DeleteFile(temporary);
    return false;
  }
  auto moved = fs.MoveFile(temporary, store, true);
  if (!moved.ok()) {
    TraceErrorCode(s, moved.code(), L"Failed to replace the datablock store: ");
    fs.DeleteFile(temporary);
    return false;
  }
  return true;
}

const std::wstring* FindFileRecord(const std::vector<std::wstring>& records, const std::wstring& key) {
  const std::wstring prefix = key + L"|";
  for (auto& r : records)
    if (StartsWith(r, prefix)) return &r;
  return nullptr;
}

const std::wstring* FindRecordWithKey(const std::vector<std::wstring>& records, const std::wstring& key) {
  for (auto& r : records)
    if (RecordKey(r) == key) return &r;
  return nullptr;
}

}  // namespace corvex
