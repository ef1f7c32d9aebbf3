#include "core/atomic_file.h"

#include <memory>

namespace corvex {

namespace {

// The handle is closed on return: the move needs the file unshared.
platform::Status WriteAndFlush(platform::FileSystem& fs, const std::wstring& path, const std::string& bytes) {
  auto file = fs.Open(path, platform::access::kWrite, platform::share::kNone, platform::Disposition::kCreateAlways);
  if (!file.ok()) return file.status();
  if (!bytes.empty()) {
    platform::Status appended = (*file)->Append(bytes);
    if (!appended.ok()) return appended;
  }
  // Without the flush a crash after the move could leave the target empty.
  return (*file)->Flush();
}

}  // namespace

platform::Status ReplaceFileContents(platform::FileSystem& fs, const std::wstring& path, const std::string& bytes) {
  const std::wstring temporary = path + L".new";
  platform::Status status = WriteAndFlush(fs, temporary, bytes);
  if (status.ok()) status = fs.MoveFile(temporary, path, true);
  if (!status.ok()) fs.DeleteFile(temporary);
  return status;
}

}  // namespace corvex
