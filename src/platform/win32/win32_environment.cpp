#include <shlobj.h>
#include <knownfolders.h>

#include <vector>

#include "platform/win32/win32_backend.h"

namespace corvex::win32 {

std::wstring Win32Environment::Expand(const std::wstring& text, size_t capacity) {
  if (capacity == 0 || capacity > 0x7FFFFFFF) return text;
  std::vector<wchar_t> buffer(capacity, L'\0');
  DWORD needed = ExpandEnvironmentStringsW(text.c_str(), buffer.data(), static_cast<DWORD>(capacity));
  // The count includes the terminating NUL.
  if (needed == 0 || needed > capacity) return text;
  return std::wstring(buffer.data(), needed - 1);
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

std::wstring Win32Environment::ModuleFileName() {
  std::vector<wchar_t> buffer(4096, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return std::wstring(buffer.data(), n);
}

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
