// The container formats of compressed and delta store files, read from
// their bytes alone: the kind told by the signature, and the block layout
// of block-compressed (DCS) files judged whole before anything is decoded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/compression.h"

namespace corvex {

enum class ContainerKind {
  kUnknown,
  kDcd,  // delta against a basis file, stream at 12
  kDcn,  // delta against nothing, stream at 4
  kDcm,  // compressed manifest: delta against the manifest basis, stream at 4
  kDcs,  // LZMS blocks
  kDch,
  kDcx,
  kMz,   // a plain executable
};

// The kind of a file of at least 8 bytes.
ContainerKind ClassifyContainer(std::string_view file);

struct DcsBlock {
  uint32_t compressedBlockSize = 0;    // the bytes after this field
  uint32_t decompressedBlockSize = 0;
  uint64_t dataOffset = 0;             // of the compressed data in the file
  uint64_t outputOffset = 0;           // of the decoded block in the output
  uint32_t dataSize() const { return compressedBlockSize - 4; }
};

// Why a DCS file cannot be decoded; kNone when every block lies inside the
// file and the blocks add up to the file's size exactly.
enum class DcsFault {
  kNone,
  kHeaderTooShort,       // under 12 bytes
  kZeroSize,             // UncompressedFileSize 0
  kZeroBlocks,           // NumberOfBlocks 0
  kBlockHeaderPastEnd,   // a block's two size fields reach past the end
  kBlockTooSmall,        // CompressedBlockSize under 4: no room for its own field
  kBlockPastEnd,         // a block's data reaches past the end
  kOverTotal,            // the blocks decode to more than UncompressedFileSize
  kUnderTotal,           // ... or to less
};

struct DcsLayout {
  uint32_t numberOfBlocks = 0;
  uint32_t uncompressedFileSize = 0;
  // Every block whose size fields could be read, up to and including the
  // one at fault.
  std::vector<DcsBlock> blocks;
  DcsFault fault = DcsFault::kNone;
};

DcsLayout ReadDcsLayout(std::string_view file);

// The delta information lines, from "\r\nDELTA_HEADER_INFO\r\n" on.
std::wstring FormatDeltaHeaderInfo(const platform::DeltaHeaderInfo& info);

}  // namespace corvex
