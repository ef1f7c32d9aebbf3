// The console output discipline: while output is held it only goes to the
// transcript; while mirrored it is shown and kept.
#pragma once

#include <string>

#include "core/session.h"

namespace corvex {

void Print(Session& s, const std::wstring& text);
// Clears both flags, shows the transcript, empties it unless `keep`.
void FlushTranscript(Session& s, bool keep);
// Clears the screen, shows the transcript again and turns mirroring on.
void RedrawFromTranscript(Session& s);
// Reads one key without echo.
wchar_t WaitKey(Session& s);
// The progress bar "\r %3.0f%% [====>   ] ".
void ShowProgress(Session& s, double done, double total);

}  // namespace corvex
