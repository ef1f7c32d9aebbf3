// What the servicing logs say is broken: the CBS log (and its persisted
// copies) and the CheckSUR log read into records, and the analysis of each
// record into corrupt store files, DISM repairs, explanations and
// permission repairs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "script/directive.h"

namespace corvex {

namespace cbs_kind {
constexpr uint32_t kMemberFile = 1;  // "Cannot repair member file "
constexpr uint32_t kComponent = 2;   // component verify and manifest load failures
constexpr uint32_t kCsiError = 4;    // CSI error lines with their continuation
}  // namespace cbs_kind

struct CbsRecord {
  std::wstring text;
  uint32_t kind = 0;
  // Where the record starts in its log (from 1), for whoever shows it.
  uint64_t line = 0;
  size_t column = 0;
};

struct SurtRecord {
  std::wstring category;
  std::vector<std::wstring> lines;
};

// Reads one CBS log (streamed, never whole) for the record kinds in
// `kinds`; true when at least one record was added. A log that cannot be
// read adds a sentence to the session's not-examined list.
bool ReadCbsLog(Session& s, const std::wstring& path, uint32_t kinds, std::vector<CbsRecord>& records);
// Whether the log holds an SFC result line ("[SR]"); failure when it
// cannot be read.
platform::Result<bool> LogHasSfcResults(Session& s, const std::wstring& path);
// CBS.persist.log and the CbsPersist cabinets, newest first, until one
// holds SFC results.
void ReadPersistedCbsLogs(Session& s, std::vector<CbsRecord>& records);
// CheckSUR.log, or CheckSUR.persist.log when `persisted`; true when the log
// held no "Summary:" line, so the persisted one should be read too.
bool ReadCheckSurLog(Session& s, bool persisted, std::vector<SurtRecord>& records,
                     std::vector<std::wstring>& fileLines);
// One kind-1 record: writes its sentences to `log`, registers corrupt store
// files, counts.
void AnalyseSfcResult(Session& s, const std::wstring& text, std::wstring& log);
// True when `text` was a manifest-damage record.
bool AnalyseManifestDamage(Session& s, const std::wstring& text, std::wstring& log);

}  // namespace corvex
