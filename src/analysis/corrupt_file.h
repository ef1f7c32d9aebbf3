// Registration of a damaged store file for the repair stages.
#pragma once

#include <string>
#include <unordered_set>

#include "core/session.h"

namespace corvex {

// %SystemRoot%\winsxs\<directory>\<file>: recorded (and counted as
// detected) when its digest differs from the one its manifest declares, or
// the manifest's cannot be had ("UNKNOWN", never taken for a match). True
// when a record was added.
// The lower-case store paths of the corrupt file list, so that thousands of
// registrations do not each go through the whole list. It is made again
// whenever the list changed behind its back (records taken off by the
// repair stages, added by others).
struct CorruptPathIndex {
  std::unordered_set<std::wstring> paths;
  size_t count = 0;
  std::wstring last;
};

bool RegisterCorruptFile(Session& s, const std::wstring& directory, const std::wstring& file);

}  // namespace corvex
