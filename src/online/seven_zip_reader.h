// Reading 7z archives: the signature header, the (possibly LZMA-encoded)
// header with its pack, unpack, substream and file records, and the decoding
// of one folder (a solid block) through its chain of coders. Supported:
// Copy, LZMA, LZMA2, Deflate and the x86 branch filter; anything else (AES,
// PPMd, BZip2, BCJ2, other filters) is refused by name before any data is
// decoded. Every count, size and offset is checked against the archive and
// fixed caps, so a damaged or hostile file ends in an error text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "online/lzma_decoder.h"
#include "platform/filesystem.h"

namespace corvex::online {

struct SevenZipCoder {
  std::string method;      // the method ID's bytes
  std::string properties;  // the coder's property bytes
};

// A folder's coders form one chain: the packed stream enters chain[0], each
// coder's output feeds the next, the last one's output is the folder's data.
struct SevenZipFolder {
  std::vector<SevenZipCoder> coders;
  std::vector<size_t> chain;          // coder indexes, packed input first
  std::vector<uint64_t> unpackSizes;  // per coder output
  uint64_t packOffset = 0;            // absolute position in the archive
  uint64_t packSize = 0;
  uint64_t size = 0;                  // the decoded size
  bool crcDefined = false;
  uint32_t crc = 0;
};

struct SevenZipEntry {
  std::wstring name;  // as stored, with "/" turned into "\"; not yet checked
  bool folder = false;
  bool hasData = false;  // a substream of a folder; else empty or a folder
  uint32_t attributes = 0;
  size_t folderIndex = 0;  // with hasData: where its bytes are
  uint64_t size = 0;
  bool crcDefined = false;
  uint32_t crc = 0;
};

struct SevenZipArchive {
  std::vector<SevenZipFolder> folders;
  // In archive order; the entries with data follow their folders' order.
  std::vector<SevenZipEntry> entries;
};

// Reads the headers of the archive in `file`. Returns a reason (a clause
// such as "its header is damaged"), empty on success.
std::wstring ReadSevenZipHeaders(platform::File& file, SevenZipArchive* out);

// Decodes folder `index` into `sink`, in order; checks the folder's own
// CRC-32 when it has one. Returns a reason, empty on success; a refusal by
// the sink gives `sinkError`.
std::wstring DecodeSevenZipFolder(platform::File& file, const SevenZipFolder& folder, ByteSink& sink,
                                  const std::wstring& sinkError);

}  // namespace corvex::online
