// Writing text files: UTF-16LE with a byte-order mark, 8-bit text, or raw
// UTF-16LE code units.
#pragma once

#include <string>

#include "core/session.h"
#include "platform/result.h"

namespace corvex {

// The path is expanded for environment variables first. Fails with the
// code of the failed open or write.
platform::Status WriteTextFile(Session& s, bool append, bool raw, const std::wstring& path,
                               const std::wstring& text, bool unicode);

}  // namespace corvex
