// Writing text files: UTF-16LE with a byte-order mark, 8-bit text, or raw
// UTF-16LE code units.
#pragma once

#include <string>

#include "core/session.h"
#include "platform/result.h"

namespace corvex {

enum class TextEncoding {
  kUtf16,     // UTF-16LE; a file that starts empty gets the byte-order mark FF FE
  kEightBit,  // one byte a character; characters above 0xFF become '?'
  kRawUtf16,  // UTF-16LE code units and nothing else
};

enum class WriteMode { kReplace, kAppend };

// The path is expanded for environment variables first. Appending adds to
// the end of the file, creating it when missing; a file that is there but
// cannot be opened fails the write rather than being started afresh. Fails
// with the code of the failed open or write.
platform::Status WriteTextFile(Session& s, const std::wstring& path, const std::wstring& text,
                               TextEncoding encoding = TextEncoding::kUtf16, WriteMode mode = WriteMode::kReplace);

}  // namespace corvex
