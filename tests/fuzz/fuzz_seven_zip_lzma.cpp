// The LZMA and LZMA2 decoders on raw streams: byte 0 picks the coder, bytes
// 1-5 are its properties, bytes 6-8 the declared size, the rest the stream.
#include <cstring>

#include "fuzz_support.h"
#include "online/lzma_decoder.h"

using namespace corvex;
using namespace corvex::online;

namespace {

class Source : public ByteSource {
 public:
  Source(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  size_t Read(uint8_t* out, size_t n) override {
    // Odd piece sizes, so refills land anywhere.
    size_t take = std::min({n, n_, static_cast<size_t>(7 + n_ % 13)});
    std::memcpy(out, p_, take);
    p_ += take;
    n_ -= take;
    return take;
  }
  bool Failed() const override { return false; }

 private:
  const uint8_t* p_;
  size_t n_;
};

class Counter : public ByteSink {
 public:
  bool Write(const uint8_t*, size_t n) override {
    count += n;
    return true;
  }
  uint64_t count = 0;
};

}  // namespace

FUZZ_TARGET(fuzz_seven_zip_lzma)(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  const uint64_t declared = data[6] | data[7] << 8 | static_cast<uint64_t>(data[8] & 0x0F) << 16;
  Source in(data + 9, size - 9);
  Counter out;
  DecodeResult r = (data[0] & 1) ? DecodeLzma2(data + 1, 1, declared, in, out) : DecodeLzma(data + 1, 5, declared, in, out);
  FUZZ_CHECK(out.count <= declared, "more output than declared");
  FUZZ_CHECK(r != DecodeResult::kOk || out.count == declared, "success with less output than declared");
  FUZZ_CHECK(r != DecodeResult::kReadFailed && r != DecodeResult::kOutputFailed, "a failure nobody caused");
  return 0;
}
