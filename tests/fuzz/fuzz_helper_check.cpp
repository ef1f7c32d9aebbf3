// corvex-helper check over a script a stranger wrote: the program's loader,
// the dispatcher's cut and the rules, then the report in both forms.
#include <unistd.h>

#include <fstream>

#include "fuzz_support.h"
#include "helper/script_check.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_helper_check)(const uint8_t* data, size_t size) {
  // The first byte chooses how the file is named: a text script or a zip.
  if (size == 0) return 0;
  const std::string name = std::string("/tmp/corvex-fuzz-check-") + std::to_string(getpid()) +
                           (data[0] & 1 ? ".zip" : ".txt");
  std::ofstream(name, std::ios::binary) << Bytes(data + 1, size - 1);
  const helper::ScriptCheck c = helper::CheckScript(name);
  uint64_t last = 0;
  for (const auto& sec : c.sections) {
    FUZZ_CHECK(sec.line > last, "sections out of script order");
    last = sec.line;
  }
  size_t blocked = 0;
  for (const auto& f : c.findings) {
    FUZZ_CHECK(f.line == 0 || f.column >= 1, "a finding on a line without its column");
    if (StartsWith(f.message, L"Line blocked")) ++blocked;
  }
  FUZZ_CHECK(blocked == c.blocked.size(), "a blocked line without its finding");
  const std::string json = helper::CheckJson(c);
  FUZZ_CHECK(json.front() == '{' && json.back() == '}', "JSON report not an object");
  helper::CheckText(c);
  return 0;
}
