#include "online/lzma_decoder.h"

#include "base/bytes.h"

#include <algorithm>

namespace corvex::online {

namespace {

constexpr uint32_t kTopValue = 1u << 24;
constexpr unsigned kNumStates = 12;
constexpr unsigned kPosStatesMax = 16;
constexpr unsigned kEndPosModelIndex = 14;
constexpr unsigned kNumFullDistances = 128;
constexpr unsigned kMatchMinLen = 2;
constexpr uint16_t kProbInit = 1024;
// Decoded bytes go to the sink in pieces of about this size, so output and
// progress keep flowing even with a large window.
constexpr size_t kFlushPiece = 1u << 20;
constexpr size_t kInputPiece = 1u << 16;


// The dictionary: a ring of the last `size` decoded bytes, flushed to the
// sink as it fills.
class Window {
 public:
  Window(size_t size, ByteSink& sink) : buf_(size), sink_(sink) {}

  // Forgets what came before (an LZMA2 dictionary reset).
  void Reset() { sinceReset_ = 0; }
  uint64_t SinceReset() const { return sinceReset_; }
  uint64_t Total() const { return total_; }
  bool Failed() const { return failed_; }
  bool Empty() const { return sinceReset_ == 0; }
  // True when `dist` (0 = the last byte) reaches only bytes of this dictionary.
  bool Reaches(uint32_t dist) const { return dist < sinceReset_ && dist < buf_.size(); }

  uint8_t Back(uint32_t dist) const {  // dist: 0 = the last byte
    size_t d = static_cast<size_t>(dist) + 1;
    return buf_[pos_ >= d ? pos_ - d : buf_.size() + pos_ - d];
  }
  void Put(uint8_t b) {
    buf_[pos_] = b;
    Advance(1);
  }
  void CopyMatch(uint32_t dist, unsigned len) {
    size_t d = static_cast<size_t>(dist) + 1;
    size_t src = pos_ >= d ? pos_ - d : buf_.size() + pos_ - d;
    while (len > 0) {
      // Runs that neither wrap nor overlap past the write position copy fast.
      size_t run = std::min<size_t>({len, buf_.size() - pos_, buf_.size() - src});
      if (src + run <= pos_ || pos_ + run <= src) {
        std::copy(buf_.begin() + src, buf_.begin() + src + run, buf_.begin() + pos_);
      } else {
        for (size_t i = 0; i < run; ++i) buf_[pos_ + i] = buf_[src + i];
      }
      src += run;
      if (src == buf_.size()) src = 0;
      len -= static_cast<unsigned>(run);
      Advance(run);
    }
  }
  void FlushIfLarge() {
    if (pos_ - flushed_ >= kFlushPiece) Flush();
  }
  void Flush() {
    if (pos_ > flushed_ && !failed_ && !sink_.Write(buf_.data() + flushed_, pos_ - flushed_)) failed_ = true;
    flushed_ = pos_;
  }

 private:
  void Advance(size_t n) {
    pos_ += n;
    total_ += n;
    sinceReset_ += n;
    if (pos_ == buf_.size()) {
      Flush();
      pos_ = flushed_ = 0;
    }
  }
  std::vector<uint8_t> buf_;
  ByteSink& sink_;
  size_t pos_ = 0, flushed_ = 0;
  uint64_t total_ = 0, sinceReset_ = 0;
  bool failed_ = false;
};

struct RangeDecoder {
  uint32_t range = 0, code = 0;
  InputBuffer& in;

  explicit RangeDecoder(InputBuffer& input) : in(input) {}
  // False when the first byte is not 0 (the encoder always writes 0 there).
  bool Init() {
    range = 0xFFFFFFFFu;
    code = 0;
    uint8_t first = in.Next();
    for (int i = 0; i < 4; ++i) code = (code << 8) | in.Next();
    return first == 0 && code != range;
  }
  void Normalize() {
    if (range < kTopValue) {
      range <<= 8;
      code = (code << 8) | in.Next();
    }
  }
  unsigned Bit(uint16_t& p) {
    uint32_t bound = (range >> 11) * p;
    unsigned bit;
    if (code < bound) {
      range = bound;
      p = static_cast<uint16_t>(p + ((2048 - p) >> 5));
      bit = 0;
    } else {
      range -= bound;
      code -= bound;
      p = static_cast<uint16_t>(p - (p >> 5));
      bit = 1;
    }
    Normalize();
    return bit;
  }
  uint32_t Direct(unsigned count) {
    uint32_t result = 0;
    while (count-- > 0) {
      range >>= 1;
      code -= range;
      uint32_t t = 0u - (code >> 31);  // all ones when the subtraction went below zero
      code += range & t;
      Normalize();
      result = (result << 1) + (t + 1);
    }
    return result;
  }
  unsigned Tree(uint16_t* probs, unsigned bits) {
    unsigned m = 1;
    for (unsigned i = 0; i < bits; ++i) m = (m << 1) + Bit(probs[m]);
    return m - (1u << bits);
  }
  unsigned ReverseTree(uint16_t* probs, unsigned bits) {
    unsigned m = 1, symbol = 0;
    for (unsigned i = 0; i < bits; ++i) {
      unsigned bit = Bit(probs[m]);
      m = (m << 1) + bit;
      symbol |= bit << i;
    }
    return symbol;
  }
};

// Why the input stopped: the end of the packed stream, a failed read, or a
// chunk's limit passed (damage).
DecodeResult Stopped(const InputBuffer& in) {
  if (!in.Ended()) return DecodeResult::kDamaged;
  return in.ReadFailed() ? DecodeResult::kReadFailed : DecodeResult::kTruncated;
}

struct LenDecoder {
  uint16_t choice, choice2;
  uint16_t low[kPosStatesMax][8], mid[kPosStatesMax][8], high[256];
  void Init() {
    choice = choice2 = kProbInit;
    std::fill(&low[0][0], &low[0][0] + kPosStatesMax * 8, kProbInit);
    std::fill(&mid[0][0], &mid[0][0] + kPosStatesMax * 8, kProbInit);
    std::fill(high, high + 256, kProbInit);
  }
  unsigned Decode(RangeDecoder& rc, unsigned posState) {
    if (rc.Bit(choice) == 0) return rc.Tree(low[posState], 3);
    if (rc.Bit(choice2) == 0) return 8 + rc.Tree(mid[posState], 3);
    return 16 + rc.Tree(high, 8);
  }
};

class LzmaCore {
 public:
  // False for values no encoder writes.
  bool SetProps(unsigned d) {
    if (d >= 9 * 5 * 5) return false;
    lc_ = d % 9;
    lp_ = (d / 9) % 5;
    pb_ = d / 45;
    literal_.assign(static_cast<size_t>(0x300) << (lc_ + lp_), kProbInit);
    return true;
  }
  unsigned LcPlusLp() const { return lc_ + lp_; }

  void ResetState() {
    std::fill(literal_.begin(), literal_.end(), kProbInit);
    std::fill(isMatch_, isMatch_ + kNumStates * kPosStatesMax, kProbInit);
    std::fill(isRep_, isRep_ + kNumStates, kProbInit);
    std::fill(isRepG0_, isRepG0_ + kNumStates, kProbInit);
    std::fill(isRepG1_, isRepG1_ + kNumStates, kProbInit);
    std::fill(isRepG2_, isRepG2_ + kNumStates, kProbInit);
    std::fill(isRep0Long_, isRep0Long_ + kNumStates * kPosStatesMax, kProbInit);
    std::fill(&posSlot_[0][0], &posSlot_[0][0] + 4 * 64, kProbInit);
    std::fill(posSpecial_, posSpecial_ + sizeof(posSpecial_) / sizeof(posSpecial_[0]), kProbInit);
    std::fill(align_, align_ + 16, kProbInit);
    len_.Init();
    repLen_.Init();
    state_ = 0;
    rep0_ = rep1_ = rep2_ = rep3_ = 0;
  }

  // Decodes exactly `size` bytes into the window; an end marker before that
  // is damage.
  DecodeResult Decode(RangeDecoder& rc, Window& w, uint64_t size) {
    const uint64_t end = w.Total() + size;
    const unsigned pbMask = (1u << pb_) - 1, lpMask = (1u << lp_) - 1;
    while (w.Total() < end) {
      if (rc.in.Overrun()) return Stopped(rc.in);
      if (w.Failed()) return DecodeResult::kOutputFailed;
      w.FlushIfLarge();
      const uint64_t pos = w.SinceReset();
      const unsigned posState = static_cast<unsigned>(pos) & pbMask;
      if (rc.Bit(isMatch_[(state_ << 4) + posState]) == 0) {
        unsigned prev = w.Empty() ? 0 : w.Back(0);
        size_t litState = ((static_cast<unsigned>(pos) & lpMask) << lc_) + (prev >> (8 - lc_));
        uint16_t* probs = &literal_[0x300 * litState];
        unsigned symbol = 1;
        if (state_ >= 7) {
          if (!w.Reaches(rep0_)) return DecodeResult::kDamaged;
          unsigned matchByte = w.Back(rep0_);
          do {
            unsigned matchBit = (matchByte >> 7) & 1;
            matchByte <<= 1;
            unsigned bit = rc.Bit(probs[((1 + matchBit) << 8) + symbol]);
            symbol = (symbol << 1) | bit;
            if (matchBit != bit) break;
          } while (symbol < 0x100);
        }
        while (symbol < 0x100) symbol = (symbol << 1) | rc.Bit(probs[symbol]);
        w.Put(static_cast<uint8_t>(symbol - 0x100));
        state_ = state_ < 4 ? 0 : (state_ < 10 ? state_ - 3 : state_ - 6);
        continue;
      }
      unsigned len;
      if (rc.Bit(isRep_[state_]) != 0) {
        if (w.Empty()) return DecodeResult::kDamaged;
        if (rc.Bit(isRepG0_[state_]) == 0) {
          if (rc.Bit(isRep0Long_[(state_ << 4) + posState]) == 0) {
            if (!w.Reaches(rep0_)) return DecodeResult::kDamaged;
            state_ = state_ < 7 ? 9 : 11;
            w.Put(w.Back(rep0_));
            continue;
          }
        } else {
          uint32_t dist;
          if (rc.Bit(isRepG1_[state_]) == 0) {
            dist = rep1_;
          } else {
            if (rc.Bit(isRepG2_[state_]) == 0) {
              dist = rep2_;
            } else {
              dist = rep3_;
              rep3_ = rep2_;
            }
            rep2_ = rep1_;
          }
          rep1_ = rep0_;
          rep0_ = dist;
        }
        len = repLen_.Decode(rc, posState);
        state_ = state_ < 7 ? 8 : 11;
      } else {
        rep3_ = rep2_;
        rep2_ = rep1_;
        rep1_ = rep0_;
        len = len_.Decode(rc, posState);
        state_ = state_ < 7 ? 7 : 10;
        rep0_ = DecodeDistance(rc, len);
        if (rep0_ == 0xFFFFFFFFu) {
          // The end marker: only where the declared size is reached anyway.
          return DecodeResult::kDamaged;
        }
      }
      len += kMatchMinLen;
      if (!w.Reaches(rep0_) || len > end - w.Total()) return DecodeResult::kDamaged;
      w.CopyMatch(rep0_, len);
    }
    if (rc.in.Overrun()) return Stopped(rc.in);
    return w.Failed() ? DecodeResult::kOutputFailed : DecodeResult::kOk;
  }

 private:
  uint32_t DecodeDistance(RangeDecoder& rc, unsigned len) {
    unsigned lenState = std::min(len, 3u);
    unsigned slot = rc.Tree(posSlot_[lenState], 6);
    if (slot < 4) return slot;
    unsigned direct = (slot >> 1) - 1;
    uint32_t dist = (2 | (slot & 1)) << direct;
    if (slot < kEndPosModelIndex) return dist + rc.ReverseTree(posSpecial_ + dist - slot, direct);
    dist += rc.Direct(direct - 4) << 4;
    return dist + rc.ReverseTree(align_, 4);
  }

  unsigned lc_ = 0, lp_ = 0, pb_ = 0;
  std::vector<uint16_t> literal_;
  uint16_t isMatch_[kNumStates * kPosStatesMax];
  uint16_t isRep_[kNumStates], isRepG0_[kNumStates], isRepG1_[kNumStates], isRepG2_[kNumStates];
  uint16_t isRep0Long_[kNumStates * kPosStatesMax];
  uint16_t posSlot_[4][64];
  uint16_t posSpecial_[1 + kNumFullDistances - kEndPosModelIndex];
  uint16_t align_[16];
  LenDecoder len_, repLen_;
  unsigned state_ = 0;
  uint32_t rep0_ = 0, rep1_ = 0, rep2_ = 0, rep3_ = 0;
};

// The window for a stream: the dictionary, but no larger than the output.
bool WindowSize(uint64_t dictionary, uint64_t size, size_t* out) {
  uint64_t want = std::min(std::max<uint64_t>(dictionary, 4096), std::max<uint64_t>(size, 1));
  if (want > kMaxDictionary) return false;
  *out = static_cast<size_t>(want);
  return true;
}

}  // namespace

InputBuffer::InputBuffer(ByteSource& source) : source_(source), buf_(kInputPiece) {}

uint8_t InputBuffer::Refill() {
  pos_ = 0;
  end_ = source_.Read(buf_.data(), buf_.size());
  if (end_ == 0) {
    ended_ = true;
    return 0;
  }
  return buf_[pos_++];
}

DecodeResult DecodeLzma(const uint8_t* props, size_t propsSize, uint64_t size, ByteSource& in, ByteSink& out) {
  if (propsSize < 5) return DecodeResult::kUnsupported;
  size_t windowSize = 0;
  if (!WindowSize(LoadLe32(props + 1), size, &windowSize)) return DecodeResult::kUnsupported;
  auto core = std::make_unique<LzmaCore>();
  if (!core->SetProps(props[0])) return DecodeResult::kUnsupported;
  if (size == 0) return DecodeResult::kOk;
  core->ResetState();
  Window w(windowSize, out);
  InputBuffer input(in);
  RangeDecoder rc(input);
  if (!rc.Init()) return input.Overrun() ? Stopped(input) : DecodeResult::kDamaged;
  DecodeResult r = core->Decode(rc, w, size);
  if (r != DecodeResult::kOk) return r;
  w.Flush();
  return w.Failed() ? DecodeResult::kOutputFailed : DecodeResult::kOk;
}

DecodeResult DecodeLzma2(const uint8_t* props, size_t propsSize, uint64_t size, ByteSource& in, ByteSink& out) {
  if (propsSize < 1 || props[0] > 40) return DecodeResult::kUnsupported;
  uint64_t dictionary = props[0] == 40 ? 0xFFFFFFFFull : (2ull | (props[0] & 1)) << (props[0] / 2 + 11);
  size_t windowSize = 0;
  if (!WindowSize(dictionary, size, &windowSize)) return DecodeResult::kUnsupported;
  if (size == 0) return DecodeResult::kOk;
  auto core = std::make_unique<LzmaCore>();
  Window w(windowSize, out);
  InputBuffer input(in);
  RangeDecoder rc(input);
  bool needDictReset = true, needProps = true;
  auto stopped = [&]() { return Stopped(input); };
  // Stops at the declared size; the end byte (0) after it is not needed.
  while (w.Total() < size) {
    uint8_t control = input.Next();
    if (input.Overrun()) return stopped();
    if (control == 0) return DecodeResult::kDamaged;  // ends before the declared size
    if (control == 1 || control == 2) {
      // Stored chunk; 1 starts a new dictionary.
      if (control == 1) {
        w.Reset();
        needDictReset = false;
      } else if (needDictReset) {
        return DecodeResult::kDamaged;
      }
      uint32_t n = (static_cast<uint32_t>(input.Next()) << 8 | input.Next()) + 1;
      if (input.Overrun()) return stopped();
      if (n > size - w.Total()) return DecodeResult::kDamaged;
      for (uint32_t i = 0; i < n; ++i) {
        uint8_t b = input.Next();
        if (input.Overrun()) return stopped();
        w.Put(b);
        if ((i & 0xFFFF) == 0 && w.Failed()) return DecodeResult::kOutputFailed;
      }
      w.FlushIfLarge();
      continue;
    }
    if (control < 0x80) return DecodeResult::kDamaged;
    uint32_t unpacked = (static_cast<uint32_t>(control & 0x1F) << 16) + (static_cast<uint32_t>(input.Next()) << 8);
    unpacked += input.Next() + 1u;
    uint32_t packed = (static_cast<uint32_t>(input.Next()) << 8) + input.Next() + 1u;
    unsigned mode = (control >> 5) & 3;
    if (mode == 3) {
      w.Reset();
      needDictReset = false;
    } else if (needDictReset) {
      return DecodeResult::kDamaged;
    }
    if (mode >= 2) {
      if (!core->SetProps(input.Next()) || core->LcPlusLp() > 4) return DecodeResult::kDamaged;
      needProps = false;
    } else if (needProps) {
      return DecodeResult::kDamaged;
    }
    if (input.Overrun()) return stopped();
    if (mode >= 1) core->ResetState();
    if (unpacked > size - w.Total()) return DecodeResult::kDamaged;
    input.SetLimit(packed);
    if (!rc.Init()) return input.Overrun() ? stopped() : DecodeResult::kDamaged;
    DecodeResult r = core->Decode(rc, w, unpacked);
    input.ClearLimit();
    if (r != DecodeResult::kOk) return r;
    // A chunk takes exactly its packed size.
    if (input.Left() != 0) return DecodeResult::kDamaged;
  }
  w.Flush();
  return w.Failed() ? DecodeResult::kOutputFailed : DecodeResult::kOk;
}

}  // namespace corvex::online
