// Reading text files whatever their encoding.
#pragma once

#include <string>

#include "core/session.h"

namespace corvex {

// Decodes file bytes: FF FE UTF-16LE, FE FF UTF-16BE, a zero second byte
// UTF-16LE without mark, EF BB BF UTF-8, else 8-bit. Without `detect` the
// bytes are UTF-16LE when `forceUnicode`, else 8-bit. Lines come back joined
// with CR LF, without a byte-order mark.
std::wstring DecodeText(const std::string& bytes, bool forceUnicode, bool detect);

// Expands the path, reads and decodes; "" when the file cannot be read.
std::wstring ReadTextFile(Session& s, const std::wstring& path, bool forceUnicode = false, bool detect = true);

}  // namespace corvex
