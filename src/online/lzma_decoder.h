// LZMA and LZMA2 decoding for 7z archives, streamed: packed bytes are pulled
// from a source, decoded bytes go through a window the size of the
// dictionary to a sink, so neither the archive nor a file is ever held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace corvex::online {

// Why a decoder stopped. Everything but kOk ends the folder's extraction.
enum class DecodeResult {
  kOk,
  kDamaged,       // the packed data does not decode
  kTruncated,     // the packed data ends before the declared size
  kUnsupported,   // properties out of range (a dictionary over the cap, lc+lp > 4 in LZMA2)
  kOutputFailed,  // the sink refused a piece (its own error says why)
  kReadFailed,    // the archive could not be read (the source's own error says why)
};

// Largest dictionary window allocated; a 32-bit process must keep room.
constexpr uint64_t kMaxDictionary = 256ull << 20;

// Bytes pulled from a packed stream.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `n` bytes into `out`; 0 at the end of the stream or on a failed
  // read (Failed() then tells).
  virtual size_t Read(uint8_t* out, size_t n) = 0;
  virtual bool Failed() const = 0;
};

// Receives decoded bytes in order.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // False stops the decoder with kOutputFailed.
  virtual bool Write(const uint8_t* data, size_t n) = 0;
};

// Buffered byte-at-a-time reading for the range decoder, with an optional
// limit on how much may be taken (an LZMA2 chunk's packed size).
class InputBuffer {
 public:
  explicit InputBuffer(ByteSource& source);
  uint8_t Next() {
    if (limited_) {
      if (limit_ == 0) {
        overrun_ = true;
        return 0;
      }
      --limit_;
    }
    if (pos_ < end_) return buf_[pos_++];
    return Refill();
  }
  void SetLimit(uint64_t limit) {
    limited_ = true;
    limit_ = limit;
    overrun_ = false;
  }
  void ClearLimit() { limited_ = false; }
  uint64_t Left() const { return limit_; }
  // True once a byte was asked for past the limit or the end of the source.
  bool Overrun() const { return overrun_ || ended_; }
  // Why: the source ended (or failed) rather than the limit being passed.
  bool Ended() const { return ended_; }
  bool ReadFailed() const { return source_.Failed(); }

 private:
  uint8_t Refill();
  ByteSource& source_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0, end_ = 0;
  bool limited_ = false;
  uint64_t limit_ = 0;
  bool overrun_ = false;
  bool ended_ = false;
};

// Decodes a 7z LZMA coder's stream: `props` are its 5 property bytes, `size`
// the declared decoded size; decoding stops there, so an end marker after it
// is never read.
DecodeResult DecodeLzma(const uint8_t* props, size_t propsSize, uint64_t size, ByteSource& in, ByteSink& out);
// Decodes a 7z LZMA2 coder's stream: `props` is its one dictionary byte.
DecodeResult DecodeLzma2(const uint8_t* props, size_t propsSize, uint64_t size, ByteSource& in, ByteSink& out);

}  // namespace corvex::online
