// Reading zip archives with zlib, for systems without the shell's zip folders
// (Server Core, WinPE, Wine). Stored and deflated entries, ZIP64 records,
// UTF-8 or code page 437 names. Archives are read by ranges and entries
// inflated in pieces, so memory does not grow with the archive or its
// entries: a 32-bit process must cope with entries of any size.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
  // Position of the local header in the archive file.
  uint64_t localHeaderOffset = 0;
  // Where the entry's data begins; set by ZipReader::Locate.
  uint64_t dataOffset = 0;
};

struct ZipListing {
  std::vector<ZipEntry> entries;
  // One sentence; empty when the central directory was read.
  std::wstring error;
};

class ZipWindow;  // the range of the archive in memory

class ZipReader {
 public:
  // Largest piece of an entry handed to a sink, and of the archive read at once.
  static constexpr size_t kPiece = 1u << 20;
  // Receives an entry's uncompressed data piece by piece, in order; a
  // non-empty result is an error text that stops the entry.
  using Sink = std::function<std::wstring(const std::string& piece)>;

  // `name` is how sentences about failed reads name the archive.
  ZipReader(platform::File& file, std::wstring name);
  ~ZipReader();
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  // Reads the end record and the central directory.
  ZipListing Parse();
  // Checks what can be known of an entry before its data is read: no
  // encryption, a supported method, its local header, data that lies inside
  // the file and a size that the data can have. Sets entry.dataOffset.
  // Returns an error text, empty on success.
  std::wstring Locate(ZipEntry& entry);
  // Uncompresses a located entry into `sink`, checking its size and CRC-32
  // on the way: a damaged entry is reported only after some of its pieces
  // were handed over. Returns an error text, empty on success.
  std::wstring Inflate(const ZipEntry& entry, const Sink& sink);

 private:
  struct Inflater;
  std::wstring ReadFailure() const;
  std::wstring InflateStored(const ZipEntry& entry, const Sink& sink);
  std::wstring InflateDeflated(const ZipEntry& entry, const Sink& sink);

  platform::File& file_;
  std::wstring name_;
  uint64_t size_ = 0;
  uint32_t readError_ = 0;
  std::unique_ptr<ZipWindow> window_;
  std::unique_ptr<Inflater> inflater_;  // made for the first deflated entry
};

// Code page 437 bytes as text; ASCII is unchanged.
std::wstring FromCp437(const std::string& bytes);

// True when writing `name` (as in ZipEntry::name) below a folder stays inside
// that folder and names an ordinary file: relative, no "." or ".." parts, no
// empty parts, no control or wildcard characters, no drive or stream colon,
// no device names such as NUL or COM1.
bool IsSafeZipEntryName(const std::wstring& name);

// True when `name` is one such part on its own: a plain file name with no
// separator, not ending in a dot or a space (Windows would drop them).
bool IsSafeFileName(const std::wstring& name);

// Extracts every entry of the zip at `zipPath` into `destFolder` (creating
// it and sub-folders) through the FileSystem seam. The central directory and
// every entry's headers are judged first; the data is then inflated once
// into a staging folder inside `destFolder` and moved into place only when
// every entry has passed its checks, so a damaged archive leaves nothing
// behind. Returns an error text, empty on success; an archive without
// entries is not an error.
std::wstring ExtractZip(platform::FileSystem& fs, const std::wstring& zipPath, const std::wstring& destFolder);

}  // namespace corvex
