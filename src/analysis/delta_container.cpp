#include "analysis/delta_container.h"

#include "base/bytes.h"

#include <cwctype>

#include "base/text.h"

namespace corvex {

namespace {


const wchar_t kHexDigits[] = L"0123456789ABCDEF";

// "0x%llX", written out: the C runtime of older Windows lacks "ll".
std::wstring Hex64(int64_t value) {
  uint64_t v = static_cast<uint64_t>(value);
  std::wstring out;
  do {
    out.insert(out.begin(), kHexDigits[v & 0xF]);
    v >>= 4;
  } while (v);
  return L"0x" + out;
}

const wchar_t* FileTypeName(int64_t type) {
  switch (type) {
    case 1: return L" (DELTA_FILE_TYPE_RAW)";
    case 2: return L" (DELTA_FILE_TYPE_I386)";
    case 4: return L" (DELTA_FILE_TYPE_IA64)";
    case 8: return L" (DELTA_FILE_TYPE_AMD64)";
    case 16: return L" (DELTA_FILE_TYPE_CLI4_I386)";
    case 32: return L" (DELTA_FILE_TYPE_CLI4_AMD64)";
    case 64: return L" (DELTA_FILE_TYPE_CLI4_ARM)";
    default: return L"";
  }
}

}  // namespace

ContainerKind ClassifyContainer(std::string_view file) {
  if (file.size() >= 4 && file.substr(0, 2) == "DC" && file[3] == '\x01') {
    switch (file[2]) {
      case 'D': return ContainerKind::kDcd;
      case 'N': return ContainerKind::kDcn;
      case 'M': return ContainerKind::kDcm;
      case 'S': return ContainerKind::kDcs;
      case 'H': return ContainerKind::kDch;
      case 'X': return ContainerKind::kDcx;
      default: break;
    }
  }
  if (file.size() >= 2 && file.substr(0, 2) == "MZ") return ContainerKind::kMz;
  return ContainerKind::kUnknown;
}

DcsLayout ReadDcsLayout(std::string_view file) {
  DcsLayout layout;
  const uint64_t size = file.size();
  if (size < 12) {
    layout.fault = DcsFault::kHeaderTooShort;
    return layout;
  }
  layout.numberOfBlocks = LoadLe32(file, 4);
  layout.uncompressedFileSize = LoadLe32(file, 8);
  if (layout.uncompressedFileSize == 0) {
    layout.fault = DcsFault::kZeroSize;
    return layout;
  }
  if (layout.numberOfBlocks == 0) {
    layout.fault = DcsFault::kZeroBlocks;
    return layout;
  }
  // Every block takes at least 8 bytes of the file, so a count the file
  // cannot hold ends at its end rather than in a huge list.
  uint64_t at = 12, total = 0;
  for (uint32_t i = 0; i < layout.numberOfBlocks; ++i) {
    if (at + 8 > size) {
      layout.fault = DcsFault::kBlockHeaderPastEnd;
      return layout;
    }
    DcsBlock b;
    b.compressedBlockSize = LoadLe32(file, at);
    b.decompressedBlockSize = LoadLe32(file, at + 4);
    b.dataOffset = at + 8;
    b.outputOffset = total;
    layout.blocks.push_back(b);
    if (b.compressedBlockSize < 4) {
      layout.fault = DcsFault::kBlockTooSmall;
      return layout;
    }
    const uint64_t next = at + 4 + uint64_t(b.compressedBlockSize);
    if (next > size) {
      layout.fault = DcsFault::kBlockPastEnd;
      return layout;
    }
    total += b.decompressedBlockSize;
    if (total > layout.uncompressedFileSize) {
      layout.fault = DcsFault::kOverTotal;
      return layout;
    }
    at = next;
  }
  if (total < layout.uncompressedFileSize) layout.fault = DcsFault::kUnderTotal;
  return layout;
}

std::wstring FormatDeltaHeaderInfo(const platform::DeltaHeaderInfo& info) {
  std::wstring r = L"\r\nDELTA_HEADER_INFO\r\n";
  r += L" FileTypeSet\t\t" + Hex64(info.fileTypeSet) + L"\r\n";
  r += L" FileType\t\t" + Hex64(info.fileType) + FileTypeName(info.fileType) + L"\r\n";
  r += L" Flags\t\t\t" + Hex64(info.flags) + L"\r\n";
  r += L" TargetSize\t\t" + Decimal(info.targetSize) + L"\r\n";
  r += L" TargetFileTime\t\t" + Hex64(static_cast<int64_t>(info.targetFileTime)) + L"\r\n";
  r += L" TargetHashAlgId\t" + Hex64(info.targetHashAlgId) + L"\r\n";
  r += L" TargetHash->HashSize\t" + Decimal(info.targetHashSize) + L"\r\n";
  r += L" TargetHash->Hash\t";
  if (info.targetHashSize > platform::kDeltaMaxHashSize) {
    r += L"\r\nHash size exceed DELTA_MAX_HASH_SIZE.";
  } else {
    for (uint32_t i = 0; i < info.targetHashSize; ++i) {
      r += static_cast<wchar_t>(std::towlower(kHexDigits[info.targetHash[i] >> 4]));
      r += static_cast<wchar_t>(std::towlower(kHexDigits[info.targetHash[i] & 0xF]));
    }
  }
  return r + L"\r\n";
}

}  // namespace corvex
