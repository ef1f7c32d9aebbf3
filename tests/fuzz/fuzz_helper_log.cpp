// corvex-helper log over a session log as a user posts it back.
#include "core/text_reader.h"
#include "fuzz_support.h"
#include "helper/session_log_reader.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_helper_log)(const uint8_t* data, size_t size) {
  const helper::SessionLog log = helper::ReadSessionLog(L"Corvex.txt", Bytes(data, size));
  const uint64_t lines = Split(DecodeText(Bytes(data, size)), L"\r\n").size();
  uint64_t last = 0;
  for (const auto& d : log.directives) {
    FUZZ_CHECK(d.line > last, "directives out of log order");
    last = d.line;
    FUZZ_CHECK(d.line <= lines, "a directive past the log's end");
    FUZZ_CHECK(d.outcome == helper::Outcome::kFailed || d.reasons.empty(), "reasons for a directive that did not fail");
  }
  for (const auto& f : log.findings)
    FUZZ_CHECK(f.line >= 1 && f.line <= lines && f.column >= 1, "a finding outside the log");
  FUZZ_CHECK(helper::SessionLogStatus(log) == 1 || !helper::AnyError(log.findings), "a broken log read as a success");
  const std::string json = helper::SessionLogJson(log);
  FUZZ_CHECK(json.front() == '{' && json.back() == '}', "JSON report not an object");
  helper::SessionLogText(log);
  return 0;
}
