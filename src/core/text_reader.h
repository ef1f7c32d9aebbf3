// Reading text files whatever their encoding.
#pragma once

#include <string>

#include "core/session.h"
#include "platform/result.h"

namespace corvex {

enum class TextDecoding {
  kDetect,    // FF FE UTF-16LE, FE FF UTF-16BE, a zero second byte UTF-16LE
              // without mark, EF BB BF UTF-8, else 8-bit
  kUtf16,     // UTF-16LE, a leading byte-order mark skipped
  kEightBit,  // each byte the character with that code
};

// Lines come back joined with CR LF, without a byte-order mark.
std::wstring DecodeText(const std::string& bytes, TextDecoding how = TextDecoding::kDetect);

// Expands the path, reads and decodes. A file that cannot be read is the
// Win32 code of the failure, never an empty text: an empty file and a
// locked one mean different things to the caller.
platform::Result<std::wstring> ReadTextFile(Session& s, const std::wstring& path,
                                            TextDecoding how = TextDecoding::kDetect);

}  // namespace corvex
