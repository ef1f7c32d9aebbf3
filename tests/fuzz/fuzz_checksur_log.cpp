// CheckSUR.log of the System Update Readiness Tool: findings, file lines,
// the IE10 parent-package lines and the summary, read backwards.
#include "analysis/log_analysis.h"
#include "fuzz_support.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_checksur_log)(const uint8_t* data, size_t size) {
  const std::string bytes = Bytes(data, size);
  Fake f;
  f.w.AddFile(L"C:\\Windows\\Logs\\CBS\\CheckSUR.log", bytes);
  std::vector<SurtRecord> records;
  std::vector<std::wstring> fileLines;
  const bool noSummary = ReadCheckSurLog(f.s, false, records, fileLines);
  const auto& c = f.s.analysis.counters;
  FUZZ_CHECK(c.surtDetected == records.size(), "detected findings are not the records added");
  for (size_t i = 0; i < records.size(); ++i) {
    FUZZ_CHECK(!records[i].category.empty(), "a finding without a category");
    for (size_t j = 0; j < i; ++j)
      FUZZ_CHECK(records[i].category != records[j].category || records[i].lines != records[j].lines,
                 "the same finding twice");
  }
  for (auto& l : fileLines) FUZZ_CHECK(l.find(L'\n') == std::wstring::npos, "a file line holding a line end");
  FUZZ_CHECK(noSummary || bytes.find("Summary:") != std::string::npos ||
                 bytes.find(" No errors detected") != std::string::npos,
             "a summary found where the log has none");
  FUZZ_CHECK(c.surtUnimportant == 0 || f.s.analysis.ie10Explained, "IE10 lines counted without their explanation");
  FUZZ_CHECK(f.s.analysis.explanations.size() <= 1, "the IE10 explanation added twice");
  return 0;
}
