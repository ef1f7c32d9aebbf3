// The session log, the debug trace and the names of Win32 error codes.
#pragma once

#include <cstdint>
#include <string>

#include "core/session.h"

namespace corvex {

void AppendToSessionLog(Session& s, const std::wstring& text);
bool TraceInfo(Session& s, const std::wstring& message);
bool TraceError(Session& s, const std::wstring& message);
// Error line: message followed directly by the code as "0x%X".
bool TraceErrorCode(Session& s, uint32_t code, const std::wstring& message);

// "ERROR_ACCESS_DENIED" and eleven more by name, else "0x%X" (or "%lu").
std::wstring ErrorCodeName(uint32_t code, bool namesAllowed = true, bool decimal = false);

// "%d-%02d-%02d %02d:%02d:%02d.%03d" and the file-name form with apostrophes.
std::wstring LogTime(const platform::LocalTime& t);
std::wstring FileNameTime(const platform::LocalTime& t);

// The C runtime's errno for a Win32 code, as _wfopen would have set it.
int ErrnoFromWin32(uint32_t code);

}  // namespace corvex
