#include "script/debug_directive.h"

#include "base/text.h"

namespace corvex {

namespace {
struct Keyword {
  const wchar_t* word;
  uint32_t bits;
};
const Keyword kKeywords[] = {{L"fs", 0x1}, {L"reg", 0x2}, {L"fr", 0x3}, {L"cbs", 0x4},
                             {L"surt", 0x8}, {L"dirs", 0x10}, {L"csd", 0x1C}};
}  // namespace

bool DebugDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  if (lines.empty()) {
    s.saveDebugLog = true;
    return true;
  }
  bool ok = true;
  for (auto& line : lines) {
    if (IStartsWith(line, L"Save Debug Log")) {
      s.saveDebugLog = true;
      continue;
    }
    uint32_t bits = 0;
    bool named = false;
    for (auto& k : kKeywords) {
      if (IContains(line, k.word)) {
        bits |= k.bits;
        named = true;
      }
    }
    if (IStartsWith(line, L"No ")) {
      s.skipMask |= bits;
    } else if (named) {
      // A keyword without "No " turns every skip off again.
      s.skipMask = 0;
    } else {
      report += L"Failed to recognise input line " + line + L".\r\n";
      ok = false;
    }
  }
  return ok;
}

}  // namespace corvex
