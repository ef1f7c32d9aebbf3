#include "online/held_file.h"

#include "base/path.h"
#include "core/session_log.h"

namespace corvex::online {

namespace {
namespace access = platform::access;
namespace share = platform::share;
}  // namespace

std::unique_ptr<platform::File> HoldAgainstWrites(Session& s, const std::wstring& path) {
  auto file = s.os.fs.Open(AddLongPathPrefix(path), access::kRead, share::kRead,
                           platform::Disposition::kOpenExisting);
  if (!file) {
    TraceErrorCode(s, file.code(), L"Failed to hold " + path + L" with error code ");
    return nullptr;
  }
  return std::move(*file);
}

bool SameBodies(platform::File& a, platform::File& b) {
  constexpr uint64_t tail = 8;
  platform::Result<uint64_t> sizeA = a.Size();
  platform::Result<uint64_t> sizeB = b.Size();
  if (!sizeA || !sizeB || *sizeA != *sizeB || *sizeA < tail) return false;
  const uint64_t body = *sizeA - tail;
  constexpr size_t kChunk = 1 << 20;
  for (uint64_t at = 0; at < body;) {
    size_t count = body - at < kChunk ? static_cast<size_t>(body - at) : kChunk;
    platform::Result<std::string> x = a.ReadAt(at, count);
    platform::Result<std::string> y = b.ReadAt(at, count);
    if (!x || !y || x->size() != count || *x != *y) return false;
    at += count;
  }
  return true;
}

std::unique_ptr<platform::File> OpenOwnProgram(Session& s) {
  // A running program's image cannot be written anyway; the loader's own
  // handle must not be refused.
  auto file = s.os.fs.Open(AddLongPathPrefix(s.programPath), access::kRead, share::kAll,
                           platform::Disposition::kOpenExisting);
  if (!file) {
    TraceErrorCode(s, file.code(), L"Failed to open " + s.programPath + L" with error code ");
    return nullptr;
  }
  return std::move(*file);
}

}  // namespace corvex::online
