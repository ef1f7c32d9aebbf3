// A start after a reboot: the saved session log, debug trace and script in
// the working folder, read by the entry and run with the program's table.
// The input is the three files one after another, each ended by the
// separator below; a file whose part is missing is absent.
#include "app/entry.h"
#include "core/text_reader.h"
#include "fuzz_support.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_continuation)(const uint8_t* data, size_t size) {
  static const std::string kSeparator = "\n--corvex-fuzz--\n";
  static const wchar_t* const kNames[] = {L"Reboot_Neat_Log", L"Reboot_Debug_Log", L"Reboot_Script"};
  const std::string input = Bytes(data, size);
  std::string parts[3];
  bool present[3] = {};
  size_t at = 0;
  for (int i = 0; i < 3 && at <= input.size(); ++i) {
    size_t end = input.find(kSeparator, at);
    if (end == std::string::npos) end = input.size();
    parts[i] = input.substr(at, end - at);
    present[i] = true;
    at = end + kSeparator.size();
  }

  Fake f;
  for (int i = 0; i < 3; ++i)
    if (present[i]) f.w.AddFile(kWork + L"\\" + kNames[i], parts[i]);
  FUZZ_CHECK(RunProgram(f.s, {L"C:\\Users\\Tester\\Downloads\\Corvex.exe"}) == 0, "a start that did not return 0");

  const std::string desktop = f.w.FileBytes(L"C:\\Users\\Tester\\Desktop\\Corvex.txt");
  if (desktop.empty()) return 0;  // blocked, or waiting for a reboot
  // A finished session removes its continuation files.
  for (auto* name : kNames) FUZZ_CHECK(!f.w.Exists(kWork + L"\\" + name), "a continuation file left behind");
  // and carries on exactly where the saved log stopped (after a header of
  // its own when the saved log has lost its).
  if (present[0]) {
    const std::wstring log = DecodeText(desktop), saved = DecodeText(parts[0]);
    size_t where = log.find(saved);
    FUZZ_CHECK(where != std::wstring::npos, "the saved log is not in the session log");
    FUZZ_CHECK(where == 0 || !StartsWith(saved, L"Corvex version "), "a second header before a saved log");
  }
  return 0;
}
