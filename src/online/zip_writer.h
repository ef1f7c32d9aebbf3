// Writing zip archives with zlib. Entries are read and deflated in blocks,
// so a hive of gigabytes passes through a 32-bit process; ZIP64 records are
// written where sizes, offsets or the entry count need them. Adding to an
// archive builds the new one beside it and moves it over the old only when
// it is complete: a failure loses nothing that was there.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/filesystem.h"
#include "platform/result.h"

namespace corvex {

// An archive without entries: the end record alone, "PK\5\6" and 18 zero
// bytes.
inline constexpr size_t kEmptyZipSize = 22;
std::string EmptyZipRecord();

class ZipWriter {
 public:
  // Starts adding to the archive at `zipPath`. A missing archive starts
  // empty; an existing one is copied up to its central directory into
  // `zipPath` + ".new". An archive that cannot be read as one is refused
  // with ERROR_INVALID_DATA. `when` stamps the new entries.
  static platform::Result<std::unique_ptr<ZipWriter>> Open(platform::FileSystem& fs, const std::wstring& zipPath,
                                                           const platform::LocalTime& when);
  ~ZipWriter();  // an archive not committed is left as it was
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Whether an entry has this name, compared as Windows compares file names
  // ("a\b" and "A/B/" are one name).
  bool Contains(const std::wstring& name) const;
  // The file at `source` as entry `name` (parts separated by "\" or "/").
  // ERROR_ALREADY_EXISTS when the name is taken. A file that fails to read
  // part-way is left out (its bytes stay unreferenced in the archive).
  platform::Status AddFile(const std::wstring& source, const std::wstring& name);
  platform::Status AddFolder(const std::wstring& name);
  // Writes the central directory and puts the archive in place.
  platform::Status Commit();

  uint64_t entriesAdded() const { return added_.size(); }

 private:
  struct Added {
    std::string name;  // as stored
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t offset = 0;
    uint32_t attributes = 0;
  };
  ZipWriter(platform::FileSystem& fs, std::wstring zipPath, uint32_t dosTime);
  platform::Status Write(const std::string& bytes);
  platform::Status Reserve(const std::wstring& name);

  platform::FileSystem& fs_;
  std::wstring zipPath_;
  std::wstring tempPath_;
  uint32_t dosTime_;
  std::unique_ptr<platform::File> out_;
  std::unique_ptr<platform::File> old_;  // the archive being added to
  uint64_t offset_ = 0;                  // bytes in the new archive so far
  uint64_t oldDirectoryOffset_ = 0;
  uint64_t oldDirectorySize_ = 0;
  uint64_t oldCount_ = 0;
  std::set<std::wstring> names_;
  std::vector<Added> added_;
  bool committed_ = false;
};

// Adds a file, or a folder with everything below it, to the archive (made
// when missing). Entries are named from the source's own name on: folder
// "C:\Windows\Logs\CBS" gives "CBS\" and "CBS\CBS.log". The whole source is
// refused with ERROR_ALREADY_EXISTS when its name is in the archive; a file
// inside a folder that cannot be read is left out and its code returned once
// the rest is in place.
platform::Status AddPathToZip(platform::FileSystem& fs, const std::wstring& zipPath, const std::wstring& source,
                              const platform::LocalTime& when);

}  // namespace corvex
