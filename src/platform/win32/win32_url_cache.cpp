// The WinINet URL cache. Apart from win32_http.cpp: <wininet.h> and
// <winhttp.h> declare the same names differently.
#include "platform/win32/win32_http.h"

#include <wininet.h>

namespace corvex::win32 {

platform::Status Win32Http::DeleteCacheEntry(const std::wstring& url) {
  if (DeleteUrlCacheEntryW(url.c_str())) return platform::Status();
  DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND) return platform::Status();  // nothing cached
  return platform::Error{code};
}

}  // namespace corvex::win32
