// File digests: SHA-256 as lowercase hexadecimal, and the Base64 form.
#pragma once

#include <string>

#include "core/session.h"

namespace corvex {

// Lowercase hexadecimal of the first `length` bytes of the SHA-256 digest;
// empty when the file cannot be hashed.
std::wstring HashFile(Session& s, const std::wstring& path, size_t length = 32);

// Standard Base64 of the bits of a hexadecimal text (either case).
std::wstring HexToBase64(const std::wstring& hex);

}  // namespace corvex
