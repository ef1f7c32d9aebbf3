#include <string>

#include "platform/win32/win32_backend.h"
#include "platform/win32/win32_crash.h"

namespace corvex::win32 {

namespace {

bool Usable(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

// Writes every byte, as WriteFile may take fewer than asked on pipes.
void WriteAll(HANDLE h, const char* data, size_t size) {
  while (size > 0) {
    DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(h, data, chunk, &written, nullptr) || written == 0) return;
    data += written;
    size -= written;
  }
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

}  // namespace

Win32Console::Win32Console() : Win32Console(GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_INPUT_HANDLE)) {}

Win32Console::Win32Console(HANDLE output, HANDLE input) : output_(output), input_(input) {
  DWORD mode = 0;
  realConsole_ = Usable(output_) && GetConsoleMode(output_, &mode);
}

void Win32Console::Write(const std::wstring& text) {
  if (!Usable(output_) || text.empty()) return;
  if (!realConsole_) {
    std::string bytes = Utf8(text);
    WriteAll(output_, bytes.data(), bytes.size());
    return;
  }
  // Older consoles refuse very large single writes; never split a surrogate pair.
  const size_t kChunk = 8192;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t n = text.size() - pos;
    if (n > kChunk) {
      n = kChunk;
      if (IS_HIGH_SURROGATE(text[pos + n - 1])) --n;
    }
    DWORD written = 0;
    if (!WriteConsoleW(output_, text.data() + pos, static_cast<DWORD>(n), &written, nullptr) || written == 0) return;
    pos += written;
  }
}

void Win32Console::Flush() {
  // Console writes are unbuffered; a redirected file is pushed to disk so
  // nothing is lost if a restart follows. Pipes are left alone: flushing one
  // waits for its reader.
  if (!realConsole_ && Usable(output_) && GetFileType(output_) == FILE_TYPE_DISK) FlushFileBuffers(output_);
}

wchar_t Win32Console::ReadKey() {
  wchar_t key = L'\r';
  DWORD mode = 0;
  if (realConsole_ && Usable(input_) && GetConsoleMode(input_, &mode))
    key = ReadKeyFromConsole();
  else
    key = ReadByteKey();
  // Keys typed after a crash answer its question, asked on the thread that
  // crashed: a prompt on any other thread waits for the end instead.
  while (CrashHandledByAnotherThread()) Sleep(INFINITE);
  return key;
}

wchar_t Win32Console::ReadKeyFromConsole() {
  for (;;) {
    INPUT_RECORD record{};
    DWORD read = 0;
    if (!ReadConsoleInputW(input_, &record, 1, &read)) return L'\r';
    if (read == 0) continue;
    if (record.EventType != KEY_EVENT) continue;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    // Shift, Ctrl and the like arrive as key-downs without a character.
    if (!key.bKeyDown || key.uChar.UnicodeChar == 0) continue;
    return key.uChar.UnicodeChar;
  }
}

wchar_t Win32Console::ReadByteKey() {
  if (!Usable(input_)) return L'\r';
  char byte = 0;
  DWORD read = 0;
  if (!::ReadFile(input_, &byte, 1, &read, nullptr) || read == 0) return L'\r';
  if (byte == '\n') return L'\r';
  return static_cast<wchar_t>(static_cast<unsigned char>(byte));
}

void Win32Console::Clear() {
  if (!realConsole_) return;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(output_, &info)) return;
  DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  COORD origin{0, 0};
  DWORD done = 0;
  FillConsoleOutputCharacterW(output_, L' ', cells, origin, &done);
  FillConsoleOutputAttribute(output_, info.wAttributes, cells, origin, &done);
  SetConsoleCursorPosition(output_, origin);
}

void Win32Console::SetTitle(const std::wstring& title) { SetConsoleTitleW(title.c_str()); }

void Win32Console::FixSize80x25() {
  if (!realConsole_) return;
  // The buffer cannot shrink below the window, nor the window grow past the
  // buffer, so the buffer is set on both sides of the window.
  COORD size{80, 25};
  SetConsoleScreenBufferSize(output_, size);
  SMALL_RECT window{0, 0, 79, 24};
  SetConsoleWindowInfo(output_, TRUE, &window);
  SetConsoleScreenBufferSize(output_, size);
  HWND hwnd = GetConsoleWindow();
  if (!hwnd) return;
  LONG style = GetWindowLongW(hwnd, GWL_STYLE);
  if (style == 0) return;
  SetWindowLongW(hwnd, GWL_STYLE, style & ~static_cast<LONG>(WS_MAXIMIZEBOX | WS_SIZEBOX));
  SetWindowPos(hwnd, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
}

}  // namespace corvex::win32
