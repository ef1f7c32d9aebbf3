// The text of a registry value's data as the component-store schema
// compares it, read no further than the value's size.
#pragma once

#include <cstdint>
#include <string>

namespace corvex {

// REG_DWORD: upper-case hexadecimal (empty when shorter than 4 bytes).
// REG_SZ, and REG_BINARY outside the raw names: UTF-16 when the second byte
// is zero, else one character a byte; either ends at its first NUL.
// REG_BINARY raw form (p!, i!, s! and S256H over 8 bytes; DV, MCP_*, S1H):
// one character a byte, zero bytes as spaces (for p!, i!, s! only in the
// first 8; later NULs stay in the text). Other types: UTF-16 up to a NUL.
// Writes into `text`, reusing its storage.
void ValueDataToText(const std::wstring& name, const char* data, size_t size, uint32_t type, std::wstring& text);
std::wstring ValueDataToText(const std::wstring& name, const std::string& data, uint32_t type);

}  // namespace corvex
