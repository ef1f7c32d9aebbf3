// The datablock store: one record a line in the working folder's file
// "DataBlocks", each the security of one file, folder or registry key. The
// store outlives runs, so it is only ever replaced whole through a temporary
// file, never truncated in place.
#pragma once

#include <string>
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

// Reads the store's records. A missing store is empty; false only when the
// store exists but cannot be read, in which case nothing may be written back.
bool ReadDataBlockStore(Session& s, std::vector<std::wstring>& records);
// Replaces the store with `records` joined by CR LF: written to a temporary
// file beside it, then moved over it, so a failed write leaves the old store.
// No records: the store file goes.
bool WriteDataBlockStore(Session& s, const std::vector<std::wstring>& records);

// The first record that begins with `key` followed by "|" (compared exactly):
// the record a datablock operation may rely on. A line without any "|" holds
// no security and never counts as the path's record. nullptr when none.
const std::wstring* FindFileRecord(const std::vector<std::wstring>& records, const std::wstring& key);
// The first record whose key (its text up to the first "|", or all of it)
// is `key`, compared exactly; nullptr when none.
const std::wstring* FindRecordWithKey(const std::vector<std::wstring>& records, const std::wstring& key);

}  // namespace corvex
