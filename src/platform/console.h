// The console as the program uses it. When the standard handles are a real
// console the win32 backend uses the console API; when they are redirected it
// writes UTF-8 to standard output and reads keys as bytes of standard input,
// where end of input reads as Enter so that a run never blocks.
#pragma once

#include <string>

namespace corvex::platform {

class Console {
 public:
  virtual ~Console() = default;
  virtual void Write(const std::wstring& text) = 0;
  virtual void Flush() = 0;
  // One key without echo; '\r' at end of input.
  virtual wchar_t ReadKey() = 0;
  // Fills the screen buffer with blanks and puts the cursor top left.
  virtual void Clear() = 0;
  virtual void SetTitle(const std::wstring& title) = 0;
  // 80 x 25 buffer and window, no maximize box or sizing frame.
  virtual void FixSize80x25() = 0;
  // A message box with an OK button and no owner; returns once the user
  // pressed OK.
  virtual void ShowMessage(const std::wstring& title, const std::wstring& text) = 0;
};

}  // namespace corvex::platform
