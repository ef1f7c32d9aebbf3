#include "base/registry_text.h"

namespace corvex {

bool RegistryStringOpenAfter(const std::wstring& line, bool openAtStart) {
  bool open = openAtStart;
  for (size_t i = 0; i < line.size(); ++i) {
    if (open && line[i] == L'\\') {
      ++i;
    } else if (line[i] == L'"') {
      open = !open;
    }
  }
  return open;
}

bool IsAllowedRegistryCharacter(wchar_t c) {
  static const std::wstring kAllowed =
      L"abcdefghijklmnopqrstuvwxyz0123456789_.,!-~()/\\ @:=+?$'&[]\"#;ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  return c != L'\0' && kAllowed.find(c) != std::wstring::npos;
}

bool IsOutsideAllowedCharacters(const std::wstring& text) {
  for (wchar_t c : text)
    if (!IsAllowedRegistryCharacter(c)) return true;
  return false;
}

}  // namespace corvex
