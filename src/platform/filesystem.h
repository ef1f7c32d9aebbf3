// Files and folders. Paths are Windows paths, with or without the "\\?\"
// prefix. Every failure carries the Win32 code of the call that failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"

namespace corvex::platform {

namespace attr {
constexpr uint32_t kReadOnly = 0x1;
constexpr uint32_t kHidden = 0x2;
constexpr uint32_t kSystem = 0x4;
constexpr uint32_t kDirectory = 0x10;
constexpr uint32_t kArchive = 0x20;
constexpr uint32_t kNormal = 0x80;
constexpr uint32_t kInvalid = 0xFFFFFFFF;
}  // namespace attr

struct FindEntry {
  std::wstring name;  // leaf name as stored
  uint32_t attributes = 0;
  uint64_t size = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual Result<uint32_t> GetAttributes(const std::wstring& path) = 0;
  virtual Status SetAttributes(const std::wstring& path, uint32_t attributes) = 0;
  // Fails with 183 when the folder exists, 3 when the parent is missing.
  virtual Status CreateFolder(const std::wstring& path) = 0;
  // Only an empty folder can be removed (145 otherwise).
  virtual Status RemoveFolder(const std::wstring& path) = 0;
  virtual Status CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) = 0;
  virtual Status MoveFile(const std::wstring& from, const std::wstring& to, bool replaceExisting) = 0;
  virtual Status DeleteFile(const std::wstring& path) = 0;
  // FindFirstFileW/FindNextFileW over a pattern such as "C:\dir\*.*"; "." and
  // ".." are included as the real call returns them. Nothing found is error 2
  // (or 3 when the folder does not exist).
  virtual Result<std::vector<FindEntry>> Find(const std::wstring& pattern) = 0;
  // Whole-file read, opened with read and write sharing.
  virtual Result<std::string> ReadFile(const std::wstring& path) = 0;
  // Creates or truncates, or appends to the end when `append` is set.
  virtual Status WriteFile(const std::wstring& path, const std::string& bytes, bool append) = 0;
};

}  // namespace corvex::platform
