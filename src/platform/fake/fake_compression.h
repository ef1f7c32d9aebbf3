// Decompression in the fake. LZMS is real: wimlib decodes the same raw
// block format as the compression API (natively only; the cross-built fake
// answers that the API is missing). msdelta is not: tests give the header
// record and the target bytes, or a failure, and read back what was asked.
#pragma once

#include <string>
#include <vector>

#include "platform/compression.h"
#include "platform/fake/fake_windows.h"

namespace corvex::fake {

class FakeCompression : public platform::Compression {
 public:
  explicit FakeCompression(FakeWindows& w);

  // Faults: Op::kLzmsCreate, Op::kLzmsDecompress, Op::kDeltaInfo and
  // Op::kDeltaApply, with an empty path part.
  platform::ApiAvailability Lzms() override;
  platform::Result<std::unique_ptr<platform::LzmsDecompressor>> CreateLzmsDecompressor() override;
  platform::ApiAvailability Delta() override;
  platform::Result<platform::DeltaHeaderInfo> GetDeltaInfo(std::string_view delta) override;
  platform::Result<std::string> ApplyDelta(std::string_view basis, std::string_view delta) override;

  platform::ApiAvailability lzms;   // kEntryPointsMissing where wimlib is not linked
  platform::ApiAvailability delta;
  // A block decoded this many bytes short of its size: the API reporting
  // less than it was asked for.
  size_t lzmsShortBy = 0;

  // What GetDeltaInfo and ApplyDelta answer.
  platform::DeltaHeaderInfo deltaInfo;
  std::string deltaTarget;

  // The calls made, in order.
  std::vector<std::string> infoCalls;  // the delta stream
  struct ApplyCall {
    std::string basis, delta;
  };
  std::vector<ApplyCall> applyCalls;

 private:
  FakeWindows& w_;
};

}  // namespace corvex::fake
