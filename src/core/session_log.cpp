#include "core/session_log.h"

#include <cstdio>

#include "base/text.h"

namespace corvex {

void AppendToSessionLog(Session& s, const std::wstring& text) { s.log += text; }

static void TraceLine(Session& s, const wchar_t* level, const std::wstring& message) {
  s.trace += LogTime(s.os.env.Now()) + L"      " + level + message + L"\r\n";
}

bool TraceInfo(Session& s, const std::wstring& message) {
  TraceLine(s, L"Info      ", message);
  return true;
}

bool TraceError(Session& s, const std::wstring& message) {
  TraceLine(s, L"Error     ", message);
  return true;
}

bool TraceErrorCode(Session& s, uint32_t code, const std::wstring& message) {
  TraceLine(s, L"Error     ", message + HexCode(code));
  return true;
}

std::wstring ErrorCodeName(uint32_t code, bool namesAllowed, bool decimal) {
  if (namesAllowed) {
    switch (code) {
      case 2: return L"ERROR_FILE_NOT_FOUND";
      case 3: return L"ERROR_PATH_NOT_FOUND";
      case 5: return L"ERROR_ACCESS_DENIED";
      case 6: return L"ERROR_INVALID_HANDLE";
      case 32: return L"ERROR_SHARING_VIOLATION";
      case 80: return L"ERROR_FILE_EXISTS";
      case 87: return L"ERROR_INVALID_PARAMETER";
      case 123: return L"ERROR_INVALID_NAME";
      case 161: return L"ERROR_BAD_PATHNAME";
      case 183: return L"ERROR_ALREADY_EXISTS";
      case 1009: return L"ERROR_BADDB";
      case 1314: return L"ERROR_PRIVILEGE_NOT_HELD";
      default: break;
    }
  }
  return decimal ? Decimal(code) : HexCode(code);
}

// The two time forms differ only in the separator between hours, minutes and
// seconds.
static std::wstring FormatTime(char separator, const platform::LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d-%02d-%02d %02d%c%02d%c%02d.%03d", t.year, t.month, t.day, t.hour, separator,
                t.minute, separator, t.second, t.millis);
  return std::wstring(buf, buf + std::char_traits<char>::length(buf));
}

std::wstring LogTime(const platform::LocalTime& t) { return FormatTime(':', t); }

std::wstring FileNameTime(const platform::LocalTime& t) {
  return FormatTime('\'', t);
}

int ErrnoFromWin32(uint32_t code) {
  switch (code) {
    case 2: case 3: case 15: case 18: case 53: case 123: case 161: return 2;  // ENOENT
    case 5: case 19: case 32: case 33: case 82: return 13;                    // EACCES
    case 8: case 14: return 12;                                               // ENOMEM
    case 80: case 183: return 17;                                             // EEXIST
    case 112: return 28;                                                      // ENOSPC
    case 4: return 24;                                                        // EMFILE
    case 6: return 9;                                                         // EBADF
    default: return 22;                                                       // EINVAL
  }
}

}  // namespace corvex
