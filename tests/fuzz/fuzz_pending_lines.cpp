// ReplaceOverReboot:: lines as a script holds them, and the pending renames
// Windows keeps (PendingFileRenameOperations) that decide which staging files
// of earlier sessions are removed. The first byte picks WOW64; the input's
// lines serve as both.
#include "core/text_reader.h"
#include "fs/reboot_directives.h"
#include "fuzz_support.h"
#include "script/dispatcher.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_pending_lines)(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Fake f;
  AddReplacementFiles(f, data[0] & 1);
  f.w.AddFile(kWork + L"\\ReplaceOverReboot1", "left by an earlier session");

  Lines lines;
  std::vector<std::wstring> value;
  for (auto& raw : Split(DecodeText(Bytes(data + 1, size - 1)), L"\n")) {
    value.push_back(raw);
    std::wstring line = PrepareLine(f.s, raw, L"");
    if (!line.empty()) lines.push_back(line);
  }
  std::wstring report;
  const bool ok = ReplaceOverRebootDirective(f.s, lines, L"", report);
  size_t pended = 0;
  for (size_t at = report.find(L"Successfully pended"); at != std::wstring::npos;
       at = report.find(L"Successfully pended", at + 1))
    ++pended;
  FUZZ_CHECK(pended == f.w.pendingRenames.size(), "a sentence for a rename not pended, or none for one");
  FUZZ_CHECK(!ok || pended == lines.size(), "success with a line not pended");
  FUZZ_CHECK(!f.w.redirectionOff, "redirection left off");
  // The Windows folder's Sysnative alias as written (a path that climbs
  // into it through "." or ".." is the writer's own) never reaches a rename.
  bool dotted = false;
  for (auto& line : lines)
    dotted = dotted || line.find(L"\\.") != std::wstring::npos || line.find(L".\\") != std::wstring::npos;
  for (auto& p : f.w.pendingRenames)
    FUZZ_CHECK(dotted || IFind(p.to, L"C:\\Windows\\Sysnative\\") == std::wstring::npos,
               "a rename into a folder that boot does not know");

  // Every staging file is either pended or the earlier one: a copy that
  // could not be pended is gone.
  for (auto& path : f.w.ListTree(kWork)) {
    if (IFind(path, L"\\ReplaceOverReboot") == std::wstring::npos || EndsWith(path, L"ReplaceOverReboot1")) continue;
    bool named = false;
    for (auto& p : f.w.pendingRenames) named = named || IEquals(p.from, path);
    FUZZ_CHECK(named, "a staging copy left that no rename will move");
  }

  for (auto& p : PendingRenamePaths(value))
    FUZZ_CHECK(!p.empty() && !StartsWith(p, L"\\??\\") && !StartsWith(p, L"\\\\?\\"), "a prefix left on a path");
  // Session finish keeps the staging files pended now and removes the rest.
  RemoveStaleStagingFiles(f.s);
  for (auto& p : f.w.pendingRenames) FUZZ_CHECK(f.w.Exists(p.from), "a pended staging file removed");
  return 0;
}
