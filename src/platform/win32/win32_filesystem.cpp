#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"

namespace corvex::win32 {

using platform::FindEntry;

Result<uint32_t> Win32FileSystem::GetAttributes(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return LastError();
  return static_cast<uint32_t>(a);
}

Status Win32FileSystem::SetAttributes(const std::wstring& path, uint32_t attributes) {
  if (!SetFileAttributesW(path.c_str(), attributes)) return LastError();
  return Status::Ok();
}

Status Win32FileSystem::CreateFolder(const std::wstring& path) {
  if (!CreateDirectoryW(path.c_str(), nullptr)) return LastError();
  return Status::Ok();
}

Status Win32FileSystem::RemoveFolder(const std::wstring& path) {
  if (!RemoveDirectoryW(path.c_str())) return LastError();
  return Status::Ok();
}

Status Win32FileSystem::CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) {
  if (!CopyFileW(from.c_str(), to.c_str(), failIfExists ? TRUE : FALSE)) return LastError();
  return Status::Ok();
}

Status Win32FileSystem::MoveFile(const std::wstring& from, const std::wstring& to, bool replaceExisting) {
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replaceExisting ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!MoveFileExW(from.c_str(), to.c_str(), flags)) return LastError();
  return Status::Ok();
}

Status Win32FileSystem::DeleteFile(const std::wstring& path) {
  if (!DeleteFileW(path.c_str())) return LastError();
  return Status::Ok();
}

Result<std::vector<FindEntry>> Win32FileSystem::Find(const std::wstring& pattern) {
  WIN32_FIND_DATAW data{};
  // FindExInfoStandard: the basic level needs Windows 7.
  unique_find find(FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0));
  if (!find) return LastError();
  std::vector<FindEntry> out;
  do {
    FindEntry e;
    e.name = data.cFileName;
    e.attributes = data.dwFileAttributes;
    e.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    out.push_back(std::move(e));
  } while (FindNextFileW(find.get(), &data));
  if (GetLastError() != ERROR_NO_MORE_FILES) return LastError();
  return out;
}

Result<std::string> Win32FileSystem::ReadFile(const std::wstring& path) {
  unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return LastError();
  std::string out;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 && size.QuadPart < 0x40000000) {
    out.reserve(static_cast<size_t>(size.QuadPart));
  }
  // Read to the end rather than trusting the size: the file may still grow.
  char buffer[65536];
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) return LastError();
    if (read == 0) break;
    out.append(buffer, read);
  }
  return out;
}

Status Win32FileSystem::WriteFile(const std::wstring& path, const std::string& bytes, bool append) {
  unique_hfile file(CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return LastError();
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t left = bytes.size() - pos;
    DWORD chunk = left > 0x100000 ? 0x100000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data() + pos, chunk, &written, nullptr)) return LastError();
    if (written == 0) return Error{ERROR_WRITE_FAULT};
    pos += written;
  }
  return Status::Ok();
}

// GetDiskFreeSpaceExW takes a folder, and a "\\?\" or UNC one only with a
// trailing backslash; a file is answered for by its folder.
Result<uint64_t> Win32FileSystem::FreeBytesAvailable(const std::wstring& path) {
  std::wstring folder = path;
  DWORD a = GetFileAttributesW(folder.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY)) {
    size_t slash = folder.find_last_of(L"\\/");
    if (slash != std::wstring::npos) folder.erase(slash);
  }
  if (folder.empty() || (folder.back() != L'\\' && folder.back() != L'/')) folder += L'\\';
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return LastError();
  return static_cast<uint64_t>(available.QuadPart);
}

namespace {

class Win32File : public platform::File {
 public:
  explicit Win32File(unique_hfile file) : file_(std::move(file)) {}

  Result<uint64_t> Size() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size)) return LastError();
    return static_cast<uint64_t>(size.QuadPart);
  }

  Result<std::string> ReadAt(uint64_t offset, size_t count) override {
    std::string out;
    while (out.size() < count) {
      OVERLAPPED at{};
      uint64_t pos = offset + out.size();
      at.Offset = static_cast<DWORD>(pos);
      at.OffsetHigh = static_cast<DWORD>(pos >> 32);
      size_t left = count - out.size();
      DWORD chunk = left > 0x100000 ? 0x100000 : static_cast<DWORD>(left);
      size_t old = out.size();
      out.resize(old + chunk);
      DWORD read = 0;
      if (!::ReadFile(file_.get(), &out[old], chunk, &read, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) read = 0;
        else return LastError();
      }
      out.resize(old + read);
      if (read == 0) break;
    }
    return out;
  }

  Status Append(const std::string& bytes) override {
    size_t pos = 0;
    while (pos < bytes.size()) {
      size_t left = bytes.size() - pos;
      DWORD chunk = left > 0x100000 ? 0x100000 : static_cast<DWORD>(left);
      // Offset 0xFFFFFFFF:0xFFFFFFFF writes at the end of the file.
      OVERLAPPED end{};
      end.Offset = 0xFFFFFFFF;
      end.OffsetHigh = 0xFFFFFFFF;
      DWORD written = 0;
      if (!::WriteFile(file_.get(), bytes.data() + pos, chunk, &written, &end)) return LastError();
      if (written == 0) return Error{ERROR_WRITE_FAULT};
      pos += written;
    }
    return Status::Ok();
  }

  Status Flush() override {
    if (!FlushFileBuffers(file_.get())) return LastError();
    return Status::Ok();
  }

 private:
  unique_hfile file_;
};

}  // namespace

Result<std::unique_ptr<platform::File>> Win32FileSystem::Open(const std::wstring& path, uint32_t desiredAccess,
                                                              uint32_t shareMode, platform::Disposition disposition) {
  DWORD accessMask = 0;
  if (desiredAccess & platform::access::kRead) accessMask |= GENERIC_READ;
  if (desiredAccess & platform::access::kWrite) accessMask |= GENERIC_WRITE;
  if (desiredAccess & platform::access::kDelete) accessMask |= DELETE;
  DWORD shareMask = 0;
  if (shareMode & platform::share::kRead) shareMask |= FILE_SHARE_READ;
  if (shareMode & platform::share::kWrite) shareMask |= FILE_SHARE_WRITE;
  if (shareMode & platform::share::kDelete) shareMask |= FILE_SHARE_DELETE;
  DWORD how = OPEN_EXISTING;
  switch (disposition) {
    case platform::Disposition::kOpenExisting: how = OPEN_EXISTING; break;
    case platform::Disposition::kCreateNew: how = CREATE_NEW; break;
    case platform::Disposition::kCreateAlways: how = CREATE_ALWAYS; break;
    case platform::Disposition::kOpenAlways: how = OPEN_ALWAYS; break;
  }
  unique_hfile file(CreateFileW(path.c_str(), accessMask, shareMask, nullptr, how, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return LastError();
  return std::unique_ptr<platform::File>(new Win32File(std::move(file)));
}

}  // namespace corvex::win32
