#include "core/text_file.h"

#include "base/text.h"
#include "platform/filesystem.h"

namespace corvex {

namespace {

// Whether the file holds no bytes yet: a missing file is empty. Any other
// failure to look is returned, so an append never mistakes a file it cannot
// open for a new one.
platform::Result<bool> IsEmptyOrMissing(platform::FileSystem& fs, const std::wstring& path) {
  auto file = fs.Open(path, platform::access::kRead, platform::share::kAll, platform::Disposition::kOpenExisting);
  if (!file.ok()) {
    if (file.code() == platform::err::kFileNotFound) return true;
    return platform::Error{file.code()};
  }
  auto size = (*file)->Size();
  if (!size.ok()) return platform::Error{size.code()};
  return *size == 0;
}

}  // namespace

platform::Status WriteTextFile(Session& s, const std::wstring& path, const std::wstring& text, TextEncoding encoding,
                               WriteMode mode) {
  const std::wstring expanded = s.os.env.Expand(path, 512);
  auto& fs = s.os.fs;
  const bool append = mode == WriteMode::kAppend;
  switch (encoding) {
    case TextEncoding::kUtf16: {
      bool fresh = true;
      if (append) {
        auto empty = IsEmptyOrMissing(fs, expanded);
        if (!empty.ok()) return empty.status();
        fresh = *empty;
      }
      std::string bytes = (fresh ? std::string("\xFF\xFE") : std::string()) + ToUtf16Le(text);
      return fs.WriteFile(expanded, bytes, append);
    }
    case TextEncoding::kEightBit:
      return fs.WriteFile(expanded, ToLatin1(text), append);
    case TextEncoding::kRawUtf16:
      return fs.WriteFile(expanded, ToUtf16Le(text), append);
  }
  return platform::Error{platform::err::kInvalidParameter};
}

}  // namespace corvex
