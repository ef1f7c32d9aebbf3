// A script file as a helper posts it: loaded as .txt from disk, its lines
// prepared and cut at the headers by the dispatcher.
#include "fuzz_support.h"
#include "script/dispatcher.h"
#include "script/script_loader.h"

using namespace corvex;
using namespace corvex::fuzz;

namespace {

bool Recorder(Session&, Lines lines, const std::wstring&, std::wstring& report) {
  // What handlers rely on: no empty lines, "{ARCHIVE}" resolved, only
  // backslashes.
  for (auto& l : lines) {
    FUZZ_CHECK(!l.empty(), "an empty line reached a handler");
    FUZZ_CHECK(!IContains(l, L"{ARCHIVE}"), "an archive token left in a handler's line");
    FUZZ_CHECK(l.find(L'/') == std::wstring::npos, "a forward slash left in a handler's line");
  }
  report = lines.empty() ? L"" : lines.back();
  return lines.size() % 2 == 0;
}

const DirectiveEntry kEntries[] = {
    {L"::", Recorder}, {L"A::", Recorder}, {L"PowerCopy::", Recorder}, {L"Absent::", nullptr}};
const DirectiveTable kTable{kEntries, sizeof kEntries / sizeof kEntries[0]};

}  // namespace

FUZZ_TARGET(fuzz_script)(const uint8_t* data, size_t size) {
  // The archive folder as a zip run has it, and none at all.
  for (const std::wstring& archive : {kWork + L"\\Archive", std::wstring()}) {
    Fake f;
    f.w.AddFile(L"C:\\fix.txt", Bytes(data, size));
    std::wstring script, unused;
    if (!LoadScript(f.s, {L"C:\\Corvex.exe", L"C:\\fix.txt"}, script, unused)) continue;
    // The dispatcher cuts at LF: every line end must be CR LF by now.
    FUZZ_CHECK(LinesEndWithCrLf(script), "a loaded script with bare line feeds");
    for (size_t i = 0; i < script.size(); ++i)
      FUZZ_CHECK(script[i] != L'\r' || (i + 1 < script.size() && script[i + 1] == L'\n'),
                 "a loaded script with a bare carriage return");
    Dispatch(f.s, kTable, script, archive);
  }
  return 0;
}
