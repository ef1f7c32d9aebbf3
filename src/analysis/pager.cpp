#include "analysis/pager.h"

#include <algorithm>

#include "core/console_output.h"

namespace corvex {

void ClearConsole(Session& s) { s.os.console.Clear(); }

namespace {
constexpr size_t kWidth = 80;
constexpr wchar_t kScrollPrompt[] = L"\n   * Press any key to scroll down . . . ";

// Where the next piece of `rest` ends: the last space at or before column
// 80, or an earlier line feed; the last character when the rest fits.
size_t BreakPoint(const std::wstring& rest) {
  if (rest.size() < kWidth + 1) return rest.size() - 1;
  size_t space = rest.rfind(L' ', kWidth);
  size_t feed = rest.find(L'\n');
  if (feed <= kWidth && (space == std::wstring::npos || feed < space)) return feed;
  return space;
}
}  // namespace

wchar_t ShowPaged(Session& s, int pageHeight, bool noPause, const std::wstring& header, const std::wstring& body,
                  const std::wstring& footer) {
  platform::Console& console = s.os.console;
  console.Write(header);
  int lines = 0;
  size_t at = 0;  // start of the rest of the body
  while (at < body.size()) {
    const std::wstring rest = body.substr(at, kWidth + 1);
    const size_t restLength = body.size() - at;
    size_t cut = restLength < kWidth + 1 ? restLength - 1 : BreakPoint(rest);
    std::wstring piece;
    if (cut == std::wstring::npos) {
      piece = rest.substr(0, kWidth);
      console.Write(piece);
      at += kWidth;
    } else {
      piece = body.substr(at, cut);
      const bool lastCharacter = cut == restLength - 1;
      console.Write(cut == kWidth || lastCharacter ? piece : piece + L"\n");
      at += cut + 1;
    }
    lines += static_cast<int>(std::count(piece.begin(), piece.end(), L'\n'));
    if (lines == pageHeight && !noPause) {
      console.Write(kScrollPrompt);
      WaitKey(s);
      ClearConsole(s);
      console.Write(header);
      lines = 0;
    }
    ++lines;
  }
  console.Write(footer);
  const wchar_t key = WaitKey(s);
  console.Write(std::wstring(1, key));
  if (key < 0x20 || key == 0x7F) console.Write(L"\n");
  console.Flush();
  return key;
}

bool AskYesNo(Session& s, const std::wstring& text) {
  ClearConsole(s);
  wchar_t answer = ShowPaged(s, 22, true, L"", text, L"");
  platform::Console& console = s.os.console;
  wchar_t key = answer == L'\b' ? answer : WaitKey(s);
  while (key == L'\b') {
    console.Write(L"\b \b");
    answer = WaitKey(s);
    console.Write(std::wstring(1, answer));
    key = answer == L'\b' ? answer : WaitKey(s);
  }
  console.Flush();
  RedrawFromTranscript(s);
  return answer == L'y' || answer == L'Y';
}

}  // namespace corvex
