// The FileSystem seam over the real POSIX file system, so that the zip
// extractor can be timed against real disk natively, side by side with
// unzip. Windows paths map to POSIX ones by dropping "\\?\" and turning
// backslashes into slashes. Only what extraction uses is there; the rest
// fails with ERROR_NOT_SUPPORTED.
#pragma once

#include "platform/filesystem.h"

namespace corvex::bench {

class PosixFileSystem : public platform::FileSystem {
 public:
  platform::Result<uint32_t> GetAttributes(const std::wstring& path) override;
  platform::Status SetAttributes(const std::wstring& path, uint32_t attributes) override;
  platform::Status CreateFolder(const std::wstring& path) override;
  platform::Status RemoveFolder(const std::wstring& path) override;
  platform::Status CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) override;
  platform::Status MoveFile(const std::wstring& from, const std::wstring& to, bool replaceExisting) override;
  platform::Status DeleteFile(const std::wstring& path) override;
  platform::Result<std::vector<platform::FindEntry>> Find(const std::wstring& pattern) override;
  platform::Result<std::string> ReadFile(const std::wstring& path) override;
  platform::Status WriteFile(const std::wstring& path, const std::string& bytes, bool append) override;
  platform::Result<std::unique_ptr<platform::File>> Open(const std::wstring& path, uint32_t desiredAccess,
                                                         uint32_t shareMode,
                                                         platform::Disposition disposition) override;
  platform::Result<platform::FileIdentity> Identity(const std::wstring& path) override;
  platform::Status AddHardLink(const std::wstring& newName, const std::wstring& existing) override;
  platform::Status PendRename(const std::wstring& from, const std::wstring& to) override;
  platform::Result<uint64_t> FreeBytesAvailable(const std::wstring& path) override;
};

}  // namespace corvex::bench
