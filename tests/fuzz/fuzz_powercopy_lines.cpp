// PowerCopy:: lines as a script holds them: the blocking rules, folder lines
// and work lists, then the backups, copies and pended files they lead to.
// The first byte picks WOW64 and the mode line.
#include "core/text_reader.h"
#include "fs/powercopy.h"
#include "platform/fake/fake_security.h"
#include "fuzz_support.h"
#include "script/dispatcher.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_powercopy_lines)(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Fake f;
  AddReplacementFiles(f, data[0] & 1);
  f.w.AddMachineKey(L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
  f.w.AddFile(L"C:\\fix\\tree\\sub\\a.dll", "a");
  f.w.AddFile(L"C:\\Windows\\System32\\kept.dll", "old");
  const std::wstring earlier = L"C:\\Corvex\\Backups\\C\\Windows\\System32\\kept.dll";
  f.w.AddFile(earlier, "first");
  auto held = f.w.HoldOpen(L"C:\\Windows\\System32\\in_use.dll", platform::access::kRead, platform::share::kRead);

  static const wchar_t* const kModes[] = {L"", L"[MODE:1]", L"[MODE:2]", L"[MODE:3]"};
  Lines lines;
  if (*kModes[(data[0] >> 1) & 3]) lines.push_back(kModes[(data[0] >> 1) & 3]);
  const std::wstring text = DecodeText(Bytes(data + 1, size - 1));
  for (auto& raw : Split(text, L"\n")) {
    std::wstring line = PrepareLine(f.s, raw, L"C:\\fix");
    if (!line.empty()) lines.push_back(line);
  }
  std::wstring report;
  PowerCopyDirective(f.s, lines, L"C:\\fix", report);

  // Only a line that names the backup folder as its destination may change
  // a backup.
  FUZZ_CHECK(f.w.FileBytes(earlier) == "first" || IContains(text, L"Backups"), "an earlier backup overwritten");
  FUZZ_CHECK(LinesEndWithCrLf(report) && LinesEndWithCrLf(f.s.log), "a bare line feed in a sentence");
  FUZZ_CHECK(f.s.rebootRequired == !f.w.pendingRenames.empty(), "a restart asked for without a pended file");
  FUZZ_CHECK(!f.w.redirectionOff, "redirection left off");
  for (auto& p : f.w.pendingRenames)
    FUZZ_CHECK(IFind(p.to, L"\\Sysnative\\") == std::wstring::npos, "a rename into a folder that boot does not know");
  FUZZ_CHECK(f.w.security().OpenHandles() == 0, "a token left open");
  return 0;
}
