#include "core/console_output.h"

#include <cmath>
#include <cstdio>

namespace corvex {

void Print(Session& s, const std::wstring& text) {
  if (s.hold || s.mirror) s.transcript += text;
  if (!s.hold) s.os.console.Write(text);
}

void FlushTranscript(Session& s, bool keep) {
  s.hold = false;
  s.mirror = false;
  s.os.console.Write(s.transcript);
  s.os.console.Flush();
  if (!keep) s.transcript.clear();
}

void RedrawFromTranscript(Session& s) {
  s.os.console.Clear();
  s.hold = false;
  s.mirror = false;
  s.os.console.Write(s.transcript);
  s.mirror = true;
}

wchar_t WaitKey(Session& s) { return s.os.console.ReadKey(); }

void ShowProgress(Session& s, double done, double total) {
  double fraction = 0;
  if (total != 0 && !std::isnan(total)) fraction = done / total;
  if (!std::isfinite(fraction)) fraction = 0;
  char percent[400];  // "%3.0f" of the largest double needs 309 digits
  std::snprintf(percent, sizeof percent, "\r %3.0f%% [", fraction * 100);
  std::wstring bar(percent, percent + std::char_traits<char>::length(percent));
  // The bar never grows past its 60 cells: a caller that reports far more
  // done than its total gets a full bar, not a line of billions of cells.
  double cells = fraction * 60 + 0.5;
  if (cells > 60) cells = 60;
  if (cells < 0) cells = 0;
  long n = static_cast<long>(cells) - 1;
  if (n > 0) bar.append(static_cast<size_t>(n), L'=');
  bar += L">";
  if (n < 59) bar.append(static_cast<size_t>(59 - (n > 0 ? n : 0)), L' ');
  bar += L"] ";
  Print(s, bar);
  s.os.console.Flush();
}

}  // namespace corvex
