#include "posix_filesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/text.h"

namespace corvex::bench {

namespace {

using platform::Error;
using platform::Result;
using platform::Status;
namespace err = platform::err;
constexpr uint32_t kNotSupported = 50;

std::string Native(const std::wstring& path) {
  std::wstring p = StartsWith(path, L"\\\\?\\") ? path.substr(4) : path;
  return ToUtf8(ReplaceAll(p, L"\\", L"/"));
}

// The Win32 code a Windows call would have failed with.
uint32_t Win32(int e) {
  switch (e) {
    case ENOENT: return err::kFileNotFound;
    case ENOTDIR: return err::kPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return err::kAccessDenied;
    case EEXIST: return err::kAlreadyExists;
    case ENOTEMPTY: return err::kDirNotEmpty;
    case ENOSPC: return 112;
    default: return err::kWriteFault;
  }
}
Error Last() { return Error{Win32(errno)}; }

class PosixFile : public platform::File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(fd_); }
  Result<uint64_t> Size() override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return Last();
    return static_cast<uint64_t>(st.st_size);
  }
  Result<std::string> ReadAt(uint64_t offset, size_t count) override {
    std::string out(count, '\0');
    size_t got = 0;
    while (got < count) {
      ssize_t n = pread(fd_, &out[got], count - got, static_cast<off_t>(offset + got));
      if (n < 0) return Last();
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
  }
  Status Append(const std::string& bytes) override {
    for (size_t done = 0; done < bytes.size();) {
      ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return Last();
      done += static_cast<size_t>(n);
    }
    return Status::Ok();
  }
  Status Flush() override { return fsync(fd_) == 0 ? Status::Ok() : Status(Last()); }

 private:
  int fd_;
};

}  // namespace

Result<uint32_t> PosixFileSystem::GetAttributes(const std::wstring& path) {
  struct stat st;
  if (stat(Native(path).c_str(), &st) != 0) return Last();
  return S_ISDIR(st.st_mode) ? platform::attr::kDirectory : platform::attr::kArchive;
}

Status PosixFileSystem::SetAttributes(const std::wstring&, uint32_t) { return Error{kNotSupported}; }

Status PosixFileSystem::CreateFolder(const std::wstring& path) {
  if (mkdir(Native(path).c_str(), 0777) == 0) return Status::Ok();
  // A missing parent is ERROR_PATH_NOT_FOUND for CreateDirectoryW.
  return Error{errno == ENOENT ? err::kPathNotFound : Win32(errno)};
}

Status PosixFileSystem::RemoveFolder(const std::wstring& path) {
  return rmdir(Native(path).c_str()) == 0 ? Status::Ok() : Status(Last());
}

Status PosixFileSystem::CopyFile(const std::wstring&, const std::wstring&, bool) { return Error{kNotSupported}; }

Status PosixFileSystem::MoveFile(const std::wstring& from, const std::wstring& to, bool replaceExisting) {
  struct stat st;
  if (!replaceExisting && stat(Native(to).c_str(), &st) == 0) return Error{err::kAlreadyExists};
  return rename(Native(from).c_str(), Native(to).c_str()) == 0 ? Status::Ok() : Status(Last());
}

Status PosixFileSystem::DeleteFile(const std::wstring& path) {
  return unlink(Native(path).c_str()) == 0 ? Status::Ok() : Status(Last());
}

Result<std::vector<platform::FindEntry>> PosixFileSystem::Find(const std::wstring&) { return Error{kNotSupported}; }
Result<std::string> PosixFileSystem::ReadFile(const std::wstring&) { return Error{kNotSupported}; }
Status PosixFileSystem::WriteFile(const std::wstring&, const std::string&, bool) { return Error{kNotSupported}; }
Result<platform::FileIdentity> PosixFileSystem::Identity(const std::wstring&) { return Error{kNotSupported}; }
Status PosixFileSystem::AddHardLink(const std::wstring&, const std::wstring&) { return Error{kNotSupported}; }
Status PosixFileSystem::PendRename(const std::wstring&, const std::wstring&) { return Error{kNotSupported}; }

Result<uint64_t> PosixFileSystem::FreeBytesAvailable(const std::wstring& path) {
  struct statvfs vfs;
  if (statvfs(Native(path).c_str(), &vfs) != 0) return Last();
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

Result<std::unique_ptr<platform::File>> PosixFileSystem::Open(const std::wstring& path, uint32_t desiredAccess,
                                                              uint32_t, platform::Disposition disposition) {
  bool reads = desiredAccess & platform::access::kRead, writes = desiredAccess & platform::access::kWrite;
  int flags = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  if (writes) flags |= O_APPEND;
  switch (disposition) {
    case platform::Disposition::kOpenExisting: break;
    case platform::Disposition::kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case platform::Disposition::kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case platform::Disposition::kOpenAlways: flags |= O_CREAT; break;
  }
  int fd = open(Native(path).c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return Last();
  return std::unique_ptr<platform::File>(new PosixFile(fd));
}

}  // namespace corvex::bench
