#include <shlobj.h>
#include <knownfolders.h>

#include <vector>

#include "platform/win32/win32_backend.h"

namespace corvex::win32 {

std::wstring Win32Environment::Expand(const std::wstring& text, size_t capacity) {
  size_t size = capacity == 0 ? 1 : capacity;
  // The answer to a buffer that is too small is the size needed; a variable
  // may change in between, so the retry is repeated a few times.
  for (int attempt = 0; attempt < 4 && size <= 0x7FFFFFFF; ++attempt) {
    std::vector<wchar_t> buffer(size, L'\0');
    DWORD needed = ExpandEnvironmentStringsW(text.c_str(), buffer.data(), static_cast<DWORD>(size));
    if (needed == 0) return text;
    // The count includes the terminating NUL.
    if (needed <= size) return std::wstring(buffer.data(), needed - 1);
    size = needed;
  }
  return text;
}

Result<std::wstring> Win32Environment::GetKnownFolder(platform::KnownFolder folder) {
  REFKNOWNFOLDERID id = folder == platform::KnownFolder::kLocalAppData ? FOLDERID_LocalAppData
                        : folder == platform::KnownFolder::kDesktop    ? FOLDERID_Desktop
                                                                       : FOLDERID_Documents;
  PWSTR path = nullptr;
  HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &path);
  std::wstring out = SUCCEEDED(hr) && path ? std::wstring(path) : std::wstring();
  // Freed on failure too: the call may hand back a buffer either way.
  CoTaskMemFree(path);
  if (FAILED(hr)) return Error{static_cast<uint32_t>(hr)};
  return out;
}

platform::LocalTime Win32Environment::Now() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return platform::LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

Result<std::wstring> ModulePath(HMODULE module, size_t firstSize) {
  // A name that fills the buffer exactly may have been cut (Windows XP
  // says nothing then, later versions ERROR_INSUFFICIENT_BUFFER): grow and
  // ask again, up to the longest path there is.
  for (size_t size = firstSize ? firstSize : 1; size <= 0x10000; size *= 2) {
    std::vector<wchar_t> buffer(size, L'\0');
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(size));
    if (n == 0) return LastError();
    if (n < size && GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::wstring(buffer.data(), n);
  }
  return Error{ERROR_INSUFFICIENT_BUFFER};
}

Result<std::wstring> Win32Environment::ModuleFileName() { return ModulePath(nullptr, 4096); }

Result<std::array<uint16_t, 4>> Win32Environment::FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return LastError();
  std::vector<BYTE> data(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return LastError();
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
      length < sizeof(VS_FIXEDFILEINFO))
    return Error{ERROR_RESOURCE_TYPE_NOT_FOUND};
  return std::array<uint16_t, 4>{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                                 HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
}

}  // namespace corvex::win32
