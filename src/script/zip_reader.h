// Reading zip archives with zlib, for systems without the shell's zip folders
// (Server Core, WinPE, Wine). Stored and deflated entries, ZIP64 records,
// UTF-8 or code page 437 names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/filesystem.h"

namespace corvex {

struct ZipEntry {
  // Backslash-separated, without a trailing separator; not yet checked.
  std::wstring name;
  bool folder = false;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc32 = 0;
  uint64_t compressedSize = 0;
  uint64_t size = 0;
  // Position of the local header in the bytes handed to Parse.
  uint64_t localHeaderOffset = 0;
};

struct ZipListing {
  std::vector<ZipEntry> entries;
  // One sentence; empty when the central directory was read.
  std::wstring error;
};

class ZipReader {
 public:
  // Reads the end record and the central directory of a whole archive.
  static ZipListing Parse(const std::string& archive);
  // Uncompresses one entry of `archive` into `out`, checking its size and
  // CRC-32. Returns an error text, empty on success.
  static std::wstring Inflate(const std::string& archive, const ZipEntry& entry, std::string* out);
};

// Code page 437 bytes as text; ASCII is unchanged.
std::wstring FromCp437(const std::string& bytes);

// True when writing `name` (as in ZipEntry::name) below a folder stays inside
// that folder and names an ordinary file: relative, no "." or ".." parts, no
// empty parts, no control or wildcard characters, no drive or stream colon,
// no device names such as NUL or COM1.
bool IsSafeZipEntryName(const std::wstring& name);

// Extracts every entry of the zip at `zipPath` into `destFolder` (creating
// sub-folders) through the FileSystem seam. The whole archive is checked
// first, so an unsafe or damaged archive writes nothing. Returns an error
// text, empty on success; an archive without entries is not an error.
std::wstring ExtractZip(platform::FileSystem& fs, const std::wstring& zipPath, const std::wstring& destFolder);

}  // namespace corvex
