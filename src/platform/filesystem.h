// Files and folders. Paths are Windows paths, with or without the "\\?\"
// prefix. Every failure carries the Win32 code of the call that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
constexpr uint32_t kReparsePoint = 0x400;  // a junction or symbolic link
constexpr uint32_t kInvalid = 0xFFFFFFFF;
}  // namespace attr

// Volume serial number and file index (GetFileInformationByHandle): two
// names with the same identity are hard links of one file.
struct FileIdentity {
  uint32_t volumeSerial = 0;
  uint64_t fileIndex = 0;
  bool operator==(const FileIdentity& o) const { return volumeSerial == o.volumeSerial && fileIndex == o.fileIndex; }
};

struct FindEntry {
  std::wstring name;  // leaf name as stored
  uint32_t attributes = 0;
  uint64_t size = 0;
};

// CreateFileW's access, sharing and disposition, as far as the program uses
// them. Share flags conflict as on Windows: an open that another handle's
// sharing does not allow, or whose own sharing does not allow an access
// another handle holds, fails with 32.
namespace access {
constexpr uint32_t kRead = 0x1;
constexpr uint32_t kWrite = 0x2;
constexpr uint32_t kDelete = 0x4;
}  // namespace access
namespace share {
constexpr uint32_t kNone = 0x0;
constexpr uint32_t kRead = 0x1;
constexpr uint32_t kWrite = 0x2;
constexpr uint32_t kDelete = 0x4;
constexpr uint32_t kAll = kRead | kWrite | kDelete;
}  // namespace share
enum class Disposition {
  kOpenExisting,  // fails with 2 when missing
  kCreateNew,     // fails with 80 when present
  kCreateAlways,  // creates or truncates
  kOpenAlways,    // opens or creates
};

// An open file. Closing is the destructor; what was written is in the file
// once Write returned, and on disk once Flush returned.
class File {
 public:
  virtual ~File() = default;
  virtual Result<uint64_t> Size() = 0;
  // Up to `count` bytes from `offset`; fewer only at the end of the file.
  virtual Result<std::string> ReadAt(uint64_t offset, size_t count) = 0;
  // Writes at the end of the file.
  virtual Status Append(const std::string& bytes) = 0;
  // FlushFileBuffers.
  virtual Status Flush() = 0;
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
  // CreateFileW with the given access (access::), sharing (share::) and
  // disposition.
  virtual Result<std::unique_ptr<File>> Open(const std::wstring& path, uint32_t desiredAccess, uint32_t shareMode,
                                             Disposition disposition) = 0;
  // Opened without access rights and sharing everything, so a file in use
  // still answers.
  virtual Result<FileIdentity> Identity(const std::wstring& path) = 0;
  // CreateHardLinkW: `newName` becomes another name of `existing`'s data.
  virtual Status AddHardLink(const std::wstring& newName, const std::wstring& existing) = 0;
  // MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT:
  // Windows moves `from` over `to` during the next start.
  virtual Status PendRename(const std::wstring& from, const std::wstring& to) = 0;
  // GetDiskFreeSpaceExW: the bytes this user may still write on the volume
  // holding `path` (a folder, or a file whose folder is asked), quotas
  // included.
  virtual Result<uint64_t> FreeBytesAvailable(const std::wstring& path) = 0;
};

}  // namespace corvex::platform
