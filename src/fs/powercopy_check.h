// The checking walk of PowerCopy:: over its lines: mode line, folder lines,
// blocking rules, and the permission and folder work lists.
#pragma once

#include <string>
#include <vector>

#include "script/directive.h"

namespace corvex {

enum class CopyMode {
  kNormal,     // none or "[MODE:3]"
  kAutomatic,  // "[MODE:1]": the automatic analysis
  kRestore,    // "[MODE:2]": RestoreFromBackup::
};

// Takes a mode line off the front of `lines`.
CopyMode TakeCopyMode(Lines& lines);

// A line that passed the rules; both paths mapped for WOW64, without "\\?\".
struct CopyLine {
  std::wstring source;
  std::wstring destination;
};

struct CheckedLines {
  std::vector<CopyLine> lines;
  Lines permissions;  // files and folders whose security is taken (no mode line)
  Lines folders;      // deepest missing folders to create (no mode line)
  bool ok = true;     // false when a folder line found nothing to copy
};

// Walks the lines (folder lines add theirs at the end), writes a sentence
// for each blocked line and classifies each destination.
CheckedLines CheckCopyLines(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

// Drops entries that name a file an earlier entry names (hard links of one
// file: same volume serial and file index). Entries that cannot be opened
// stay.
void DropDuplicateLinks(Session& s, Lines& paths);

// `paths` with `modeLine` in front in the quiet modes (1 and 2), as
// PowerCopy:: hands its work lists to other directives.
Lines WithModeLine(CopyMode mode, const wchar_t* modeLine, const Lines& paths);

// A path as sentences show it: the System32 form, without "\\?\".
std::wstring ShownPath(Session& s, const std::wstring& path);

}  // namespace corvex
