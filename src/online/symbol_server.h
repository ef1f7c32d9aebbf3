// SymbolServer:: fetches Windows executables from Microsoft's public symbol
// server by file name, link time stamp and image size, into the Temp
// working folder's MicrosoftSymbolServerBinaries cache.
#pragma once

#include <cstdint>
#include <string>

#include "script/directive.h"

namespace corvex::online {

// One line: "file NAME, timestamp HEX, size HEX" in any order; the file
// value runs to the next ",", the others to the next space; hexadecimal
// with or without "0x".
struct SymbolLine {
  std::wstring file;
  bool hasStamp = false, hasSize = false;
  uint32_t stamp = 0, size = 0;
};
// False when the line has no file field or a number does not parse.
bool ParseSymbolLine(const std::wstring& line, SymbolLine& out);

// TimeDateStamp and SizeOfImage from a PE file's own headers.
bool ReadImageIdentity(const std::string& bytes, uint32_t& stamp, uint32_t& size);

// The server's folder of one image: the stamp as 8 hexadecimal digits and
// the size without padding ("5E1A2B3C1f000").
std::wstring SymbolKey(uint32_t stamp, uint32_t size);

bool SymbolServerDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex::online
