// The console pager of the explanation screens and prompts: long texts in
// pages of 80 columns, a key between pages.
#pragma once

#include <string>

#include "core/session.h"

namespace corvex {

// Blanks the console and puts the cursor top left.
void ClearConsole(Session& s);

// Prints `header`, then `body` broken into lines of at most 80 columns at
// spaces or line feeds, asking for a key after every `pageHeight` lines
// unless `noPause`; then `footer`, and waits for the key it returns (echoed).
// Writes straight to the console, never into the transcript. The character
// at each break and the body's last character are never printed, so a body
// ends with one spare character.
wchar_t ShowPaged(Session& s, int pageHeight, bool noPause, const std::wstring& header, const std::wstring& body,
                  const std::wstring& footer);

}  // namespace corvex
