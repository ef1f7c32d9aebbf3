// The datablock store: one record a line in the working folder's file
// "DataBlocks", each the security of one file, folder or registry key. The
// store outlives runs, so it is only ever replaced whole through a temporary
// file, never truncated in place.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/session.h"

namespace corvex {

constexpr wchar_t kDataBlockStoreName[] = L"DataBlocks";

// Double quotes and a leading "\\?\" removed, and the Windows folder's
// Sysnative given as System32: the form in which paths are keys.
std::wstring StoredPath(Session& s, const std::wstring& path);
// Text of a record up to its first "|".
std::wstring RecordKey(const std::wstring& record);
// Records of a store text: trimmed, split at each line end (CR LF, or CR or
// LF alone), pieces that are blank skipped.
std::vector<std::wstring> SplitRecords(const std::wstring& content);

// The store's records in memory with an index of their keys: a directive
// reads the file once, finds keys without a scan and writes once.
class DataBlockStore {
 public:
  // Reads the store; a missing store is empty. False when it exists but
  // cannot be read: error() is then the code, and nothing may be written
  // back, or the records that could not be read would be lost.
  bool Load(Session& s);
  uint32_t error() const { return error_; }
  const std::vector<std::wstring>& records() const { return records_; }
  // The first record whose key (its text up to the first "|", or all of it)
  // is `key`, compared exactly; nullptr when none. Valid until the next
  // change.
  const std::wstring* FindKey(const std::wstring& key) const;
  // The first record that begins with `key` followed by "|": the record a
  // datablock operation may rely on. A line without any "|" holds no
  // security and never counts as the path's record.
  const std::wstring* FindFileRecord(const std::wstring& key) const;
  void Add(const std::wstring& record);
  // Drops every record whose key is one of `keys`; returns the keys of the
  // records dropped, in store order.
  std::vector<std::wstring> Remove(const std::unordered_set<std::wstring>& keys);
  // Replaces the store file with the records joined by CR LF, through a
  // temporary file moved over it (ReplaceFileContents), so a failed write
  // leaves the old store. No records: the store file goes.
  bool Save(Session& s) const;

 private:
  void Index(size_t i);
  std::vector<std::wstring> records_;
  std::unordered_map<std::wstring, size_t> byKey_, fileRecords_;
  uint32_t error_ = 0;
};

// The sentence for a store that exists but cannot be read, without line end.
std::wstring UnreadableStoreSentence(uint32_t code);

// Registry records: key|SDDL, keys compared without regard to case. They
// live here rather than with the file records because the registry
// directives keep them too.
bool AddRegistryDataBlock(Session& s, const std::wstring& key, const std::wstring& sddl);
std::wstring FindRegistryDataBlock(Session& s, const std::wstring& key);
bool CopyRegistryDataBlock(Session& s, const std::wstring& sourceKey, const std::wstring& destinationKey);

}  // namespace corvex
