#include "core/datablock_store.h"

#include "base/path.h"
#include "core/atomic_file.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "base/text.h"
#include "core/working_folders.h"
#include "core/text_reader.h"

namespace corvex {

namespace err = platform::err;

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

std::wstring UnreadableStoreSentence(uint32_t code) {
  return L"Failed to read datablocks with error code " + ErrorCodeName(code) + L".";
}

bool DataBlockStore::Load(Session& s) {
  records_.clear();
  byKey_.clear();
  fileRecords_.clear();
  error_ = 0;
  auto bytes = s.os.fs.ReadFile(StorePath(s));
  if (!bytes.ok()) {
    if (bytes.code() == err::kFileNotFound || bytes.code() == err::kPathNotFound) return true;
    error_ = bytes.code();
    TraceErrorCode(s, error_, L"Failed to read the datablock store: ");
    return false;
  }
  records_ = SplitRecords(DecodeText(*bytes));
  for (size_t i = 0; i < records_.size(); ++i) Index(i);
  return true;
}

void DataBlockStore::Index(size_t i) {
  const std::wstring& r = records_[i];
  size_t bar = r.find(L'|');
  std::wstring key = r.substr(0, bar);
  // The first record of a key is the one every lookup has always found.
  if (bar != std::wstring::npos) fileRecords_.emplace(key, i);
  byKey_.emplace(std::move(key), i);
}

const std::wstring* DataBlockStore::FindKey(const std::wstring& key) const {
  auto it = byKey_.find(key);
  return it == byKey_.end() ? nullptr : &records_[it->second];
}

const std::wstring* DataBlockStore::FindFileRecord(const std::wstring& key) const {
  auto it = fileRecords_.find(key);
  return it == fileRecords_.end() ? nullptr : &records_[it->second];
}

void DataBlockStore::Add(const std::wstring& record) {
  records_.push_back(record);
  Index(records_.size() - 1);
}

std::vector<std::wstring> DataBlockStore::Remove(const std::unordered_set<std::wstring>& keys) {
  std::vector<std::wstring> removed, kept;
  for (auto& r : records_) {
    std::wstring key = RecordKey(r);
    if (keys.count(key))
      removed.push_back(std::move(key));
    else
      kept.push_back(std::move(r));
  }
  records_ = std::move(kept);
  if (removed.empty()) return removed;  // same records in the same places
  byKey_.clear();
  fileRecords_.clear();
  for (size_t i = 0; i < records_.size(); ++i) Index(i);
  return removed;
}

bool DataBlockStore::Save(Session& s) const {
  const std::wstring store = StorePath(s);
  auto& fs = s.os.fs;
  if (records_.empty()) {
    auto removed = fs.DeleteFile(store);
    if (removed.ok() || removed.code() == err::kFileNotFound || removed.code() == err::kPathNotFound) return true;
    TraceErrorCode(s, removed.code(), L"Failed to delete the datablock store: ");
    // An empty store reads as no records; write one in its place.
  }
  if (!CreateFolderIfMissing(s, WorkingFolder(s))) {
    TraceError(s, L"Failed to create the working folder for the datablock store.");
    return false;
  }
  // UTF-16LE with a byte-order mark, as the program writes every text file.
  auto written = ReplaceFileContents(fs, store, "\xFF\xFE" + ToUtf16Le(Trim(Join(records_, L"\r\n"))));
  if (!written.ok()) {
    TraceErrorCode(s, written.code(), L"Failed to write the new datablock store: ");
    return false;
  }
  return true;
}

bool AddRegistryDataBlock(Session& s, const std::wstring& key, const std::wstring& sddl) {
  if (key.empty() || Trim(sddl).empty()) return false;
  DataBlockStore store;
  if (!store.Load(s)) return false;
  for (auto& r : store.records())
    if (r.find(L'|') != std::wstring::npos && IEquals(RecordKey(r), key)) return true;
  store.Add(key + L"|" + Trim(sddl));
  return store.Save(s);
}

std::wstring FindRegistryDataBlock(Session& s, const std::wstring& key) {
  DataBlockStore store;
  store.Load(s);
  for (auto& r : store.records()) {
    size_t bar = r.find(L'|');
    if (bar != std::wstring::npos && IEquals(r.substr(0, bar), key)) return r.substr(bar + 1);
  }
  return L"";
}

bool CopyRegistryDataBlock(Session& s, const std::wstring& sourceKey, const std::wstring& destinationKey) {
  DataBlockStore store;
  if (!store.Load(s)) return false;
  const std::wstring source = ToLower(sourceKey), destination = ToLower(destinationKey);
  bool hasSource = false, hasDestination = false;
  for (auto& r : store.records()) {
    if (r.find(L'|') == std::wstring::npos) continue;
    std::wstring key = ToLower(StoredPath(s, RecordKey(r)));
    hasSource |= key == source;
    hasDestination |= key == destination;
  }
  if (!hasSource || hasDestination) return true;
  std::vector<std::wstring> copies;
  for (auto& r : store.records()) {
    size_t bar = r.find(L'|');
    if (bar != std::wstring::npos && ToLower(StoredPath(s, r.substr(0, bar))) == source)
      copies.push_back(destinationKey + r.substr(bar));
  }
  for (auto& c : copies) store.Add(c);
  return store.Save(s);
}

}  // namespace corvex
