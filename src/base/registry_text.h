// A rule of registry-file text that script reading and the registry
// directives share: a quoted string may run over several lines.
#pragma once

#include <string>

namespace corvex {

// Whether a quoted string is still open after `line`, given whether one was
// open at its start. Inside a string a backslash escapes the next character.
bool RegistryStringOpenAfter(const std::wstring& line, bool openAtStart);

// The 86 characters the servicing registry's names and strings are made
// of; anything else is a flipped bit or a foreign hand.
bool IsAllowedRegistryCharacter(wchar_t c);
// True when any character is outside them.
bool IsOutsideAllowedCharacters(const std::wstring& text);

}  // namespace corvex
