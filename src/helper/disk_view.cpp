#include "helper/disk_view.h"

#include <fstream>

#include "base/path.h"
#include "base/text.h"

namespace corvex::helper {

namespace {

using platform::Error;
using platform::Result;
using platform::Status;
namespace err = platform::err;
constexpr uint32_t kReadFault = 30;  // ERROR_READ_FAULT

std::wstring MountKey(const std::wstring& path) { return ToLower(StripLongPathPrefix(path)); }

// Opened once per handle, read by ranges; never written.
class RealFile : public platform::File {
 public:
  explicit RealFile(const std::filesystem::path& path) : in_(path, std::ios::binary) {}
  bool open() const { return in_.is_open(); }

  Result<uint64_t> Size() override {
    in_.clear();
    in_.seekg(0, std::ios::end);
    auto end = in_.tellg();
    if (end < 0) return Error{kReadFault};
    return static_cast<uint64_t>(end);
  }
  Result<std::string> ReadAt(uint64_t offset, size_t count) override {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    if (!in_) return Error{kReadFault};
    std::string out(count, '\0');
    in_.read(&out[0], static_cast<std::streamsize>(count));
    if (in_.bad()) return Error{kReadFault};
    out.resize(static_cast<size_t>(in_.gcount()));
    return out;
  }
  Status Append(const std::string&) override { return Error{err::kAccessDenied}; }
  Status Flush() override { return Status::Ok(); }

 private:
  std::ifstream in_;
};

}  // namespace

void DiskView::Mount(const std::wstring& windowsPath, const std::filesystem::path& real) {
  mounts_[MountKey(windowsPath)] = real;
}

const std::filesystem::path* DiskView::Mounted(const std::wstring& path) const {
  auto found = mounts_.find(MountKey(path));
  return found == mounts_.end() ? nullptr : &found->second;
}

Result<uint32_t> DiskView::GetAttributes(const std::wstring& path) {
  const auto* real = Mounted(path);
  if (!real) return base_.GetAttributes(path);
  std::error_code ec;
  return std::filesystem::is_regular_file(*real, ec) ? Result<uint32_t>(platform::attr::kReadOnly)
                                                      : Result<uint32_t>(Error{err::kFileNotFound});
}

// A mounted file is read-only: every change to it is refused as Windows
// refuses changes to a file it may not write.
Status DiskView::SetAttributes(const std::wstring& path, uint32_t attributes) {
  return Mounted(path) ? Status(Error{err::kAccessDenied}) : base_.SetAttributes(path, attributes);
}
Status DiskView::CreateFolder(const std::wstring& path) {
  return Mounted(path) ? Status(Error{err::kAlreadyExists}) : base_.CreateFolder(path);
}
Status DiskView::RemoveFolder(const std::wstring& path) {
  return Mounted(path) ? Status(Error{err::kAccessDenied}) : base_.RemoveFolder(path);
}
Status DiskView::CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) {
  if (Mounted(to)) return Error{err::kAccessDenied};
  if (!Mounted(from)) return base_.CopyFile(from, to, failIfExists);
  auto bytes = ReadFile(from);
  if (!bytes.ok()) return Error{bytes.code()};
  if (failIfExists && base_.GetAttributes(to).ok()) return Error{err::kFileExists};
  return base_.WriteFile(to, *bytes, false);
}
Status DiskView::MoveFile(const std::wstring& from, const std::wstring& to, bool replaceExisting) {
  return Mounted(from) || Mounted(to) ? Status(Error{err::kAccessDenied}) : base_.MoveFile(from, to, replaceExisting);
}
Status DiskView::DeleteFile(const std::wstring& path) {
  return Mounted(path) ? Status(Error{err::kAccessDenied}) : base_.DeleteFile(path);
}
Result<std::vector<platform::FindEntry>> DiskView::Find(const std::wstring& pattern) { return base_.Find(pattern); }

Result<std::string> DiskView::ReadFile(const std::wstring& path) {
  if (!Mounted(path)) return base_.ReadFile(path);
  auto file = Open(path, platform::access::kRead, platform::share::kAll, platform::Disposition::kOpenExisting);
  if (!file.ok()) return Error{file.code()};
  auto size = (*file)->Size();
  if (!size.ok()) return Error{size.code()};
  return (*file)->ReadAt(0, static_cast<size_t>(*size));
}

Status DiskView::WriteFile(const std::wstring& path, const std::string& bytes, bool append) {
  return Mounted(path) ? Status(Error{err::kAccessDenied}) : base_.WriteFile(path, bytes, append);
}

Result<std::unique_ptr<platform::File>> DiskView::Open(const std::wstring& path, uint32_t desiredAccess,
                                                       uint32_t shareMode, platform::Disposition disposition) {
  const auto* real = Mounted(path);
  if (!real) return base_.Open(path, desiredAccess, shareMode, disposition);
  if (desiredAccess & (platform::access::kWrite | platform::access::kDelete)) return Error{err::kAccessDenied};
  std::error_code ec;
  if (!std::filesystem::is_regular_file(*real, ec)) return Error{err::kFileNotFound};
  auto file = std::make_unique<RealFile>(*real);
  if (!file->open()) return Error{err::kAccessDenied};
  return std::unique_ptr<platform::File>(std::move(file));
}

Result<platform::FileIdentity> DiskView::Identity(const std::wstring& path) {
  if (!Mounted(path)) return base_.Identity(path);
  // Mounts are distinct files: one index per mount, apart from the fake's.
  uint64_t index = 0;
  for (const auto& [key, real] : mounts_) {
    ++index;
    if (key == MountKey(path)) break;
  }
  return platform::FileIdentity{0xFFFFFFFFu, index};
}

Status DiskView::AddHardLink(const std::wstring& newName, const std::wstring& existing) {
  return Mounted(newName) || Mounted(existing) ? Status(Error{err::kAccessDenied})
                                                : base_.AddHardLink(newName, existing);
}
Status DiskView::PendRename(const std::wstring& from, const std::wstring& to) {
  return Mounted(from) || Mounted(to) ? Status(Error{err::kAccessDenied}) : base_.PendRename(from, to);
}

// A mounted file counts as on the volume of the folder it is mounted in.
platform::Result<uint64_t> DiskView::FreeBytesAvailable(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  if (Mounted(path) && slash != std::wstring::npos) return base_.FreeBytesAvailable(path.substr(0, slash));
  return base_.FreeBytesAvailable(path);
}

}  // namespace corvex::helper
