// Windows' own decompressors: LZMS blocks through the compression API of
// cabinet.dll (Windows 8 and later) and binary deltas through msdelta.dll.
// Either library may be missing or lack its entry points; the caller asks
// first and tells the user, rather than failing on the first file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace corvex::platform {

// Whether a library's entry points could be reached, and if not why.
enum class ApiState {
  kAvailable,
  kNoSystemFolder,      // GetSystemDirectoryW failed
  kLibraryMissing,      // LoadLibraryEx of the system folder's copy failed
  kEntryPointsMissing,  // loaded, but without every function we call
};
struct ApiAvailability {
  ApiState state = ApiState::kAvailable;
  uint32_t code = 0;  // the failing call's Win32 code
  bool available() const { return state == ApiState::kAvailable; }
};

// One LZMS decompressor (CreateDecompressor with COMPRESS_ALGORITHM_LZMS |
// COMPRESS_RAW), closed by the destructor. Not shared between threads.
class LzmsDecompressor {
 public:
  virtual ~LzmsDecompressor() = default;
  // Decompresses one raw block into `out`, whose size must be the block's
  // exact decompressed size. Returns the number of bytes it produced.
  virtual Result<size_t> Decompress(std::string_view compressed, char* out, size_t outSize) = 0;
};

// DELTA_HEADER_INFO as GetDeltaInfoB fills it.
constexpr uint32_t kDeltaMaxHashSize = 32;
struct DeltaHeaderInfo {
  int64_t fileTypeSet = 0;
  int64_t fileType = 0;
  int64_t flags = 0;
  uint64_t targetSize = 0;
  uint64_t targetFileTime = 0;  // FILETIME, high part above low part
  uint32_t targetHashAlgId = 0;
  uint32_t targetHashSize = 0;  // as reported; only the first 32 bytes exist
  std::array<uint8_t, kDeltaMaxHashSize> targetHash{};
};

// Every member may be called from several threads at once.
class Compression {
 public:
  virtual ~Compression() = default;
  virtual ApiAvailability Lzms() = 0;
  virtual Result<std::unique_ptr<LzmsDecompressor>> CreateLzmsDecompressor() = 0;

  virtual ApiAvailability Delta() = 0;
  // GetDeltaInfoB over the delta stream.
  virtual Result<DeltaHeaderInfo> GetDeltaInfo(std::string_view delta) = 0;
  // ApplyDeltaB with no flags; the target copied out and msdelta's buffer
  // released with DeltaFree.
  virtual Result<std::string> ApplyDelta(std::string_view basis, std::string_view delta) = 0;
};

}  // namespace corvex::platform
