// Helpers for the tests of the real Windows backend: a private temp folder
// and raw file access that does not go through the code under test.
#pragma once
#ifdef _WIN32

#include <string>
#include <vector>

#include "platform/win32/windows_api.h"

namespace corvex::win32::testing {

// A fresh folder under %TEMP%, removed with everything in it afterwards.
class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH + 1, base);
    std::wstring root(base, n);
    if (!root.empty() && root.back() != L'\\') root += L'\\';
    static unsigned counter = 0;
    for (;;) {
      path_ = root + L"corvex-w32-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
      if (CreateDirectoryW(path_.c_str(), nullptr)) break;
      if (GetLastError() != ERROR_ALREADY_EXISTS) {
        path_.clear();
        break;
      }
    }
  }
  ~TempFolder() {
    if (!path_.empty()) RemoveTree(path_);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& leaf) const { return path_ + L"\\" + leaf; }

  static void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring full = folder + L"\\" + name;
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveTree(full);
        else
          DeleteFileW(full.c_str());
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(folder.c_str());
  }

 private:
  std::wstring path_;
};

inline bool RawWrite(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() || ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

// Whole file, or "<missing>" when it cannot be opened.
inline std::string RawRead(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out;
  char buffer[4096];
  DWORD read = 0;
  while (::ReadFile(h, buffer, sizeof buffer, &read, nullptr) && read > 0) out.append(buffer, read);
  CloseHandle(h);
  return out;
}

// Wine leaves out a few things Windows does: file owners and DACLs are made
// up from Unix permissions, root ignores read-only files, hidden files can be
// overwritten, and hard links cannot be listed.
inline bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

inline std::wstring SystemFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  UINT n = GetSystemDirectoryW(buffer, MAX_PATH + 1);
  return std::wstring(buffer, n);
}

inline std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

}  // namespace corvex::win32::testing

#endif  // _WIN32
