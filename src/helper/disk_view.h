// The helper reads the files a user posted (logs, scripts, archives) from
// the real disk, while everything else the core asks of Windows is answered
// by the fake. Each real file is mounted read-only at a Windows path of the
// fake's file system; the core opens it there through the seam as it opens
// the user's own. Reads go by ranges, so a log of any size stays on disk.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "platform/filesystem.h"

namespace corvex::helper {

class DiskView : public platform::FileSystem {
 public:
  explicit DiskView(platform::FileSystem& base) : base_(base) {}

  // `windowsPath` (no "\\?\") now reads as the real file at `real`.
  void Mount(const std::wstring& windowsPath, const std::filesystem::path& real);

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

 private:
  // The real file mounted at `path`, or nullptr.
  const std::filesystem::path* Mounted(const std::wstring& path) const;

  platform::FileSystem& base_;
  std::map<std::wstring, std::filesystem::path> mounts_;  // keyed by lower-case Windows path
};

}  // namespace corvex::helper
