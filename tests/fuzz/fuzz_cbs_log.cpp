// CBS.log from a damaged machine: the records ReadCbsLog takes out of it,
// the "[SR]" search, and the fields of every SFC result line with the
// analysis of each against an empty store.
#include "analysis/log_analysis.h"
#include "analysis/sfc_result.h"
#include "fuzz_support.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_cbs_log)(const uint8_t* data, size_t size) {
  const std::string bytes = Bytes(data, size);
  Fake f;
  const std::wstring log = L"C:\\Windows\\Logs\\CBS\\CBS.log";
  f.w.AddFile(log, bytes);
  auto found = LogHasSfcResults(f.s, log);
  FUZZ_CHECK(found.ok() && *found == (bytes.find("[SR]") != std::string::npos), "the [SR] search disagrees");

  std::vector<CbsRecord> records;
  const bool added = ReadCbsLog(f.s, log, cbs_kind::kMemberFile | cbs_kind::kComponent | cbs_kind::kCsiError, records);
  FUZZ_CHECK(added == !records.empty(), "the result does not say whether records were added");
  FUZZ_CHECK(f.s.analysis.notExamined.empty(), "a readable log counted as not examined");
  for (size_t i = 0; i < records.size(); ++i)
    for (size_t j = 0; j < i; ++j) FUZZ_CHECK(records[i].text != records[j].text, "the same record twice");

  for (auto& r : records) {
    if (r.kind != cbs_kind::kMemberFile) continue;
    SfcResultFields fields;
    std::wstring missing;
    if (ParseSfcResult(r.text, fields, missing)) {
      FUZZ_CHECK(!fields.file.empty() && !fields.component.empty() && !fields.version.empty() &&
                     !fields.architecture.empty() && !fields.publicKeyToken.empty() && !fields.reason.empty(),
                 "an SFC result taken with a field missing");
      FUZZ_CHECK(fields.file.size() <= r.text.size(), "a file name longer than its line");
    } else {
      FUZZ_CHECK(!missing.empty(), "an unread line without what it lacks");
    }
    // Every finding is counted once or explained; none is dropped silently.
    const uint32_t before = f.s.analysis.counters.cbsDetected;
    std::wstring text;
    AnalyseSfcResult(f.s, r.text, text);
    const uint32_t counted = f.s.analysis.counters.cbsDetected - before;
    FUZZ_CHECK(counted <= 1, "one record counted more than once");
    FUZZ_CHECK(counted == 1 || fields.reason == L"file cannot be checked", "a finding neither counted nor handled");
  }
  return 0;
}
