#include "platform/fake/fake_compression.h"

#include <algorithm>

#ifndef _WIN32
#include <wimlib.h>
#endif

namespace corvex::fake {

using platform::ApiAvailability;
using platform::ApiState;

namespace {

#ifndef _WIN32
class WimlibLzms : public platform::LzmsDecompressor {
 public:
  WimlibLzms(FakeWindows& w, const size_t& shortBy) : w_(w), shortBy_(shortBy) {}

  Result<size_t> Decompress(std::string_view compressed, char* out, size_t outSize) override {
    if (uint32_t f = w_.TakeFault(Op::kLzmsDecompress, L"")) return Error{f};
    // wimlib needs the exact size as the raw API does; its decompressor
    // state does not grow with the block size, so one per block is cheap.
    constexpr size_t kLzmsMaxBlock = size_t(1) << 30;
    if (outSize == 0 || outSize > kLzmsMaxBlock) return Error{platform::err::kInvalidParameter};
    wimlib_decompressor* d = nullptr;
    if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, outSize, &d) != 0)
      return Error{platform::err::kNotEnoughMemory};
    const int rc = wimlib_decompress(compressed.data(), compressed.size(), out, outSize, d);
    wimlib_free_decompressor(d);
    if (rc != 0) return Error{kErrorBadCompressionBuffer};
    return outSize - std::min(shortBy_, outSize);
  }

  static constexpr uint32_t kErrorBadCompressionBuffer = 605;

 private:
  FakeWindows& w_;
  const size_t& shortBy_;
};
#endif

}  // namespace

FakeCompression::FakeCompression(FakeWindows& w) : w_(w) {
#ifdef _WIN32
  lzms.state = ApiState::kEntryPointsMissing;
#endif
}

ApiAvailability FakeCompression::Lzms() { return lzms; }

Result<std::unique_ptr<platform::LzmsDecompressor>> FakeCompression::CreateLzmsDecompressor() {
  if (!lzms.available()) return Error{127};  // ERROR_PROC_NOT_FOUND
  if (uint32_t f = w_.TakeFault(Op::kLzmsCreate, L"")) return Error{f};
#ifdef _WIN32
  return Error{127};
#else
  return std::unique_ptr<platform::LzmsDecompressor>(new WimlibLzms(w_, lzmsShortBy));
#endif
}

ApiAvailability FakeCompression::Delta() { return delta; }

Result<platform::DeltaHeaderInfo> FakeCompression::GetDeltaInfo(std::string_view stream) {
  infoCalls.emplace_back(stream);
  if (!delta.available()) return Error{127};
  if (uint32_t f = w_.TakeFault(Op::kDeltaInfo, L"")) return Error{f};
  return deltaInfo;
}

Result<std::string> FakeCompression::ApplyDelta(std::string_view basis, std::string_view stream) {
  applyCalls.push_back({std::string(basis), std::string(stream)});
  if (!delta.available()) return Error{127};
  if (uint32_t f = w_.TakeFault(Op::kDeltaApply, L"")) return Error{f};
  return deltaTarget;
}

}  // namespace corvex::fake
