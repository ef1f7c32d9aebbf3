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

// A yes/no question: the console cleared, `text` shown with ShowPaged (no
// header or footer) and its key taken as the answer; then keys are read one
// by one: Backspace rubs the last key out and the next key replaces it (both
// echoed), any other key ends the answer. Yes when the key kept is "y" or
// "Y"; end of input reads as Enter and so is no. The screen is then redrawn
// from the transcript, mirroring on.
bool AskYesNo(Session& s, const std::wstring& text);

}  // namespace corvex
