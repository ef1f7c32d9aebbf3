#include "online/seven_zip_reader.h"

#include "base/bytes.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "base/text.h"

namespace corvex::online {

namespace {

// Property IDs of the header.
enum : uint8_t {
  kEnd = 0x00,
  kHeader = 0x01,
  kArchiveProperties = 0x02,
  kAdditionalStreamsInfo = 0x03,
  kMainStreamsInfo = 0x04,
  kFilesInfo = 0x05,
  kPackInfo = 0x06,
  kUnpackInfo = 0x07,
  kSubStreamsInfo = 0x08,
  kSize = 0x09,
  kCrc = 0x0A,
  kFolder = 0x0B,
  kCodersUnpackSize = 0x0C,
  kNumUnpackStream = 0x0D,
  kEmptyStream = 0x0E,
  kEmptyFile = 0x0F,
  kAnti = 0x10,
  kName = 0x11,
  kWinAttributes = 0x15,
  kEncodedHeader = 0x17,
  kDummy = 0x19,
};

constexpr char kSignature[6] = {'7', 'z', '\xBC', '\xAF', '\x27', '\x1C'};
constexpr uint64_t kSignatureHeaderSize = 32;
// A header (or an encoded header's decoded form) larger than this is not a
// header any archiver writes for the files this program extracts.
constexpr uint64_t kMaxHeader = 16ull << 20;
// At most this many files and substreams: bounds the memory a header claims.
constexpr uint64_t kMaxItems = 1ull << 20;
constexpr size_t kMaxCoders = 4;
constexpr size_t kReadPiece = 1u << 16;

const wchar_t kDamagedHeader[] = L"its header is damaged";
const wchar_t kTruncated[] = L"it ends early (the archive is truncated)";
const wchar_t kDamagedData[] = L"its packed data is damaged";

std::wstring ReadFailure(uint32_t code) { return L"it could not be read (error code " + std::to_wstring(code) + L")"; }


uint32_t Crc(const uint8_t* p, size_t n) {
  uLong c = crc32(0L, Z_NULL, 0);
  while (n > 0) {
    uInt piece = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    c = crc32(c, p, piece);
    p += piece;
    n -= piece;
  }
  return static_cast<uint32_t>(c);
}

bool SameMethod(const std::string& m, std::initializer_list<uint8_t> id) {
  if (m.size() != id.size()) return false;
  return std::equal(id.begin(), id.end(), m.begin(), [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
}
bool IsCopy(const std::string& m) { return SameMethod(m, {0x00}); }
bool IsLzma(const std::string& m) { return SameMethod(m, {0x03, 0x01, 0x01}); }
bool IsLzma2(const std::string& m) { return SameMethod(m, {0x21}); }
bool IsDeflate(const std::string& m) { return SameMethod(m, {0x04, 0x01, 0x08}); }
bool IsBcj(const std::string& m) { return SameMethod(m, {0x03, 0x03, 0x01, 0x03}); }
bool IsFilter(const std::string& m) { return IsCopy(m) || IsBcj(m); }

std::wstring MethodName(const std::string& m) {
  struct Known {
    std::initializer_list<uint8_t> id;
    const wchar_t* name;
  };
  static const Known kKnown[] = {
      {{0x06, 0xF1, 0x07, 0x01}, L"AES encryption"},
      {{0x03, 0x04, 0x01}, L"PPMd"},
      {{0x04, 0x02, 0x02}, L"BZip2"},
      {{0x04, 0x01, 0x09}, L"Deflate64"},
      {{0x03, 0x03, 0x01, 0x1B}, L"BCJ2"},
      {{0x03, 0x03, 0x05, 0x01}, L"ARM"},
      {{0x03, 0x03, 0x07, 0x01}, L"ARM Thumb"},
      {{0x03, 0x03, 0x02, 0x05}, L"PowerPC"},
      {{0x03, 0x03, 0x04, 0x01}, L"IA-64"},
      {{0x03, 0x03, 0x08, 0x05}, L"SPARC"},
      {{0x0A}, L"ARM64"},
      {{0x03}, L"Delta"},
  };
  for (const Known& k : kKnown)
    if (SameMethod(m, k.id)) return k.name;
  std::wstring hex;
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  for (char c : m) {
    hex += kDigits[(static_cast<uint8_t>(c) >> 4) & 0xF];
    hex += kDigits[static_cast<uint8_t>(c) & 0xF];
  }
  return L"the method " + (hex.empty() ? std::wstring(L"(none)") : hex);
}

// The header in memory, read with bounds checks: any read past the end
// marks it bad and gives zeros, so the parser's loops end.
class HeaderBytes {
 public:
  HeaderBytes(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool Bad() const { return bad_; }
  void MarkBad() { bad_ = true; }
  size_t Left() const { return bad_ ? 0 : n_ - pos_; }
  uint8_t Byte() {
    if (bad_ || pos_ >= n_) {
      bad_ = true;
      return 0;
    }
    return p_[pos_++];
  }
  // 7z's variable-length number: the leading one bits of the first byte
  // count the bytes that follow.
  uint64_t Number() {
    uint8_t first = Byte();
    uint8_t mask = 0x80;
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
      if ((first & mask) == 0) {
        uint64_t high = first & (mask - 1u);
        return value | (high << (8 * i));
      }
      value |= static_cast<uint64_t>(Byte()) << (8 * i);
      mask = static_cast<uint8_t>(mask >> 1);
    }
    return value;
  }
  // A count of items that each take at least one byte of what is left.
  uint64_t Count() {
    uint64_t n = Number();
    if (n > Left()) bad_ = true;
    return bad_ ? 0 : n;
  }
  uint32_t U32() {
    if (Left() < 4) {
      bad_ = true;
      return 0;
    }
    uint32_t v = LoadLe32(p_ + pos_);
    pos_ += 4;
    return v;
  }
  const uint8_t* Take(uint64_t n) {
    if (n > Left()) {
      bad_ = true;
      return nullptr;
    }
    const uint8_t* at = p_ + pos_;
    pos_ += static_cast<size_t>(n);
    return at;
  }
  std::vector<bool> Bits(uint64_t count) {
    std::vector<bool> bits;
    if (count > Left() * 8) {
      bad_ = true;
      return bits;
    }
    bits.resize(static_cast<size_t>(count));
    uint8_t b = 0;
    for (size_t i = 0; i < bits.size(); ++i) {
      if (i % 8 == 0) b = Byte();
      bits[i] = (b & (0x80 >> (i % 8))) != 0;
    }
    return bits;
  }
  // An "all defined" byte, else a bit vector.
  std::vector<bool> Defined(uint64_t count) {
    if (Byte() != 0) {
      if (count > Left() * 8 + 64) bad_ = true;
      return std::vector<bool>(bad_ ? 0 : static_cast<size_t>(count), true);
    }
    return Bits(count);
  }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool bad_ = false;
};

struct Digests {
  std::vector<bool> defined;
  std::vector<uint32_t> crcs;
};

Digests ReadDigests(HeaderBytes& h, uint64_t count) {
  Digests d;
  d.defined = h.Defined(count);
  d.crcs.assign(d.defined.size(), 0);
  for (size_t i = 0; i < d.defined.size() && !h.Bad(); ++i)
    if (d.defined[i]) d.crcs[i] = h.U32();
  if (d.defined.size() != count) h.MarkBad();
  return d;
}

struct Substream {
  size_t folder = 0;
  uint64_t size = 0;
  bool crcDefined = false;
  uint32_t crc = 0;
};

struct StreamsInfo {
  std::vector<SevenZipFolder> folders;
  std::vector<Substream> substreams;
};

void ReadPackInfo(HeaderBytes& h, uint64_t* packPos, std::vector<uint64_t>* sizes) {
  *packPos = h.Number();
  uint64_t count = h.Count();
  for (uint8_t id = h.Byte(); id != kEnd && !h.Bad(); id = h.Byte()) {
    if (id == kSize) {
      sizes->clear();
      for (uint64_t i = 0; i < count && !h.Bad(); ++i) sizes->push_back(h.Number());
    } else if (id == kCrc) {
      ReadDigests(h, count);  // the files' own CRCs are checked instead
    } else {
      h.MarkBad();
    }
  }
  if (sizes->size() != count) h.MarkBad();
}

// One folder's coders and bind pairs, reduced to a chain. Returns a reason
// for a folder this reader does not decode, empty otherwise.
std::wstring ReadFolder(HeaderBytes& h, SevenZipFolder* f, uint64_t* numPacked) {
  uint64_t numCoders = h.Count();
  if (h.Bad() || numCoders == 0) return kDamagedHeader;
  if (numCoders > kMaxCoders) return L"it chains more coders than this reader decodes";
  uint64_t numIn = 0, numOut = 0;
  bool complex = false;
  for (uint64_t i = 0; i < numCoders; ++i) {
    uint8_t flags = h.Byte();
    SevenZipCoder c;
    const uint8_t* id = h.Take(flags & 0x0F);
    if (id) c.method.assign(reinterpret_cast<const char*>(id), flags & 0x0F);
    uint64_t in = 1, out = 1;
    if (flags & 0x10) {
      in = h.Number();
      out = h.Number();
      if (in > 64 || out > 64) h.MarkBad();
    }
    if (in != 1 || out != 1) complex = true;
    if (flags & 0x20) {
      uint64_t n = h.Number();
      const uint8_t* props = h.Take(n);
      if (props) c.properties.assign(reinterpret_cast<const char*>(props), static_cast<size_t>(n));
    }
    if (flags & 0xC0) h.MarkBad();  // alternative methods: never written
    if (h.Bad()) return kDamagedHeader;
    numIn += in;
    numOut += out;
    f->coders.push_back(std::move(c));
  }
  uint64_t numBindPairs = numOut - 1;
  std::vector<std::pair<uint64_t, uint64_t>> pairs;
  for (uint64_t i = 0; i < numBindPairs && !h.Bad(); ++i) {
    uint64_t in = h.Number();
    uint64_t out = h.Number();
    pairs.emplace_back(in, out);
  }
  if (numIn < numBindPairs) return kDamagedHeader;
  *numPacked = numIn - numBindPairs;
  std::vector<uint64_t> packed;
  if (*numPacked == 1) {
    for (uint64_t i = 0; i < numIn; ++i)
      if (std::none_of(pairs.begin(), pairs.end(), [&](auto& p) { return p.first == i; })) packed.push_back(i);
  } else {
    for (uint64_t i = 0; i < *numPacked && !h.Bad(); ++i) packed.push_back(h.Number());
  }
  if (h.Bad()) return kDamagedHeader;
  // The method is judged before the shape, so an encrypted archive says so.
  for (const SevenZipCoder& c : f->coders)
    if (!IsCopy(c.method) && !IsLzma(c.method) && !IsLzma2(c.method) && !IsDeflate(c.method) && !IsBcj(c.method))
      return L"it uses " + MethodName(c.method) + L", which this program does not decode";
  if (complex || packed.size() != 1) return L"its coders are not a simple chain";
  // Follow the chain from the coder that reads the packed stream.
  std::vector<bool> seen(f->coders.size(), false);
  uint64_t at = packed[0];
  while (true) {
    if (at >= f->coders.size() || seen[at]) return kDamagedHeader;
    seen[at] = true;
    f->chain.push_back(static_cast<size_t>(at));
    auto next = std::find_if(pairs.begin(), pairs.end(), [&](auto& p) { return p.second == at; });
    if (next == pairs.end()) break;
    at = next->first;
  }
  if (f->chain.size() != f->coders.size()) return kDamagedHeader;
  for (size_t i = 1; i < f->chain.size(); ++i)
    if (!IsFilter(f->coders[f->chain[i]].method)) return L"its coders are not a simple chain";
  return L"";
}

std::wstring ReadUnpackInfo(HeaderBytes& h, std::vector<SevenZipFolder>* folders, std::vector<uint64_t>* numPacked) {
  if (h.Byte() != kFolder) return kDamagedHeader;
  uint64_t count = h.Count();
  if (h.Byte() != 0) return L"its folders are kept outside the header";
  if (h.Bad()) return kDamagedHeader;
  for (uint64_t i = 0; i < count; ++i) {
    SevenZipFolder f;
    uint64_t packedStreams = 0;
    std::wstring reason = ReadFolder(h, &f, &packedStreams);
    if (!reason.empty()) return reason;
    folders->push_back(std::move(f));
    numPacked->push_back(packedStreams);
  }
  if (h.Byte() != kCodersUnpackSize) return kDamagedHeader;
  for (SevenZipFolder& f : *folders) {
    for (size_t i = 0; i < f.coders.size(); ++i) f.unpackSizes.push_back(h.Number());
    if (h.Bad()) return kDamagedHeader;
    f.size = f.unpackSizes[f.chain.back()];
    // Filters keep the size of what they are given.
    for (size_t i = 1; i < f.chain.size(); ++i)
      if (f.unpackSizes[f.chain[i]] != f.unpackSizes[f.chain[0]]) return kDamagedHeader;
  }
  for (uint8_t id = h.Byte(); id != kEnd && !h.Bad(); id = h.Byte()) {
    if (id != kCrc) return kDamagedHeader;
    Digests d = ReadDigests(h, folders->size());
    for (size_t i = 0; i < d.defined.size() && !h.Bad(); ++i) {
      (*folders)[i].crcDefined = d.defined[i];
      (*folders)[i].crc = d.crcs[i];
    }
  }
  return h.Bad() ? kDamagedHeader : L"";
}

std::wstring ReadSubStreams(HeaderBytes& h, StreamsInfo* si) {
  std::vector<uint64_t> counts(si->folders.size(), 1);
  uint8_t id = h.Byte();
  if (id == kNumUnpackStream) {
    uint64_t total = 0;
    for (uint64_t& c : counts) {
      c = h.Number();
      // Each substream past the first needs a size byte, each a CRC.
      if (c > h.Left() + 1) h.MarkBad();
      total += c;
      if (h.Bad() || total > kMaxItems) return kDamagedHeader;
    }
    id = h.Byte();
  }
  bool sizesGiven = id == kSize;
  for (size_t f = 0; f < counts.size(); ++f) {
    if (counts[f] == 0) continue;
    uint64_t sum = 0;
    for (uint64_t i = 0; i + 1 < counts[f]; ++i) {
      if (!sizesGiven) return kDamagedHeader;
      uint64_t size = h.Number();
      if (h.Bad() || size > si->folders[f].size - sum) return kDamagedHeader;
      sum += size;
      si->substreams.push_back({f, size, false, 0});
    }
    si->substreams.push_back({f, si->folders[f].size - sum, false, 0});
  }
  if (sizesGiven) id = h.Byte();
  // CRCs: a folder of one substream with its own CRC lends it; the others
  // are listed.
  std::vector<Substream*> unknown;
  {
    size_t k = 0;
    for (size_t f = 0; f < counts.size(); ++f) {
      const SevenZipFolder& folder = si->folders[f];
      for (uint64_t i = 0; i < counts[f]; ++i, ++k) {
        if (counts[f] == 1 && folder.crcDefined) {
          si->substreams[k].crcDefined = true;
          si->substreams[k].crc = folder.crc;
        } else {
          unknown.push_back(&si->substreams[k]);
        }
      }
    }
  }
  for (; id != kEnd && !h.Bad(); id = h.Byte()) {
    if (id == kCrc) {
      Digests d = ReadDigests(h, unknown.size());
      for (size_t i = 0; i < d.defined.size() && !h.Bad(); ++i) {
        unknown[i]->crcDefined = d.defined[i];
        unknown[i]->crc = d.crcs[i];
      }
    } else {
      h.Take(h.Number());  // a property this reader does not need
    }
  }
  return h.Bad() ? kDamagedHeader : L"";
}

std::wstring ReadStreamsInfo(HeaderBytes& h, uint64_t archiveSize, StreamsInfo* si) {
  uint64_t packPos = 0;
  std::vector<uint64_t> packSizes, numPacked;
  bool sawSubStreams = false;
  uint8_t id = h.Byte();
  if (id == kPackInfo) {
    ReadPackInfo(h, &packPos, &packSizes);
    if (h.Bad()) return kDamagedHeader;
    id = h.Byte();
  }
  if (id == kUnpackInfo) {
    std::wstring reason = ReadUnpackInfo(h, &si->folders, &numPacked);
    if (!reason.empty()) return reason;
    id = h.Byte();
  }
  if (id == kSubStreamsInfo) {
    std::wstring reason = ReadSubStreams(h, si);
    if (!reason.empty()) return reason;
    sawSubStreams = true;
    id = h.Byte();
  }
  if (id != kEnd || h.Bad()) return kDamagedHeader;
  if (!sawSubStreams)
    for (size_t f = 0; f < si->folders.size(); ++f)
      si->substreams.push_back({f, si->folders[f].size, si->folders[f].crcDefined, si->folders[f].crc});
  // Packed streams lie one after another from the pack position; each
  // folder here takes exactly one.
  if (si->folders.size() != packSizes.size()) return kDamagedHeader;
  uint64_t at = packPos;
  if (at > archiveSize - kSignatureHeaderSize) return kTruncated;
  at += kSignatureHeaderSize;
  for (size_t f = 0; f < si->folders.size(); ++f) {
    if (packSizes[f] > archiveSize - at) return kTruncated;
    si->folders[f].packOffset = at;
    si->folders[f].packSize = packSizes[f];
    at += packSizes[f];
  }
  return L"";
}

// Packed bytes of a folder, read from the archive by ranges.
class PackedSource : public ByteSource {
 public:
  PackedSource(platform::File& file, uint64_t offset, uint64_t size) : file_(file), offset_(offset), left_(size) {}
  size_t Read(uint8_t* out, size_t n) override {
    if (left_ == 0 || failed_) return 0;
    size_t want = static_cast<size_t>(std::min<uint64_t>(n, left_));
    auto piece = file_.ReadAt(offset_, want);
    if (!piece.ok()) {
      failed_ = true;
      code_ = piece.code();
      return 0;
    }
    size_t got = std::min(piece->size(), want);
    if (got == 0) return 0;  // the file is shorter than it said
    std::memcpy(out, piece->data(), got);
    offset_ += got;
    left_ -= got;
    return got;
  }
  bool Failed() const override { return failed_; }
  uint32_t Code() const { return code_; }

 private:
  platform::File& file_;
  uint64_t offset_, left_;
  bool failed_ = false;
  uint32_t code_ = 0;
};

// Counts what passes and checks the folder's CRC on the way.
class CheckingSink : public ByteSink {
 public:
  explicit CheckingSink(ByteSink& next) : next_(next) { crc_ = crc32(0L, Z_NULL, 0); }
  bool Write(const uint8_t* data, size_t n) override {
    count_ += n;
    crc_ = crc32(crc_, data, static_cast<uInt>(n));
    return next_.Write(data, n);
  }
  uint64_t Count() const { return count_; }
  uint32_t Crc() const { return static_cast<uint32_t>(crc_); }

 private:
  ByteSink& next_;
  uint64_t count_ = 0;
  uLong crc_;
};

// The x86 branch filter (BCJ), decoding: relative CALL and JMP targets that
// the encoder made absolute are turned back. Bytes are held until five are
// known after them, so a piece may end anywhere.
class BcjSink : public ByteSink {
 public:
  explicit BcjSink(ByteSink& next) : next_(next), buf_(kReadPiece + 8) {}
  bool Write(const uint8_t* data, size_t n) override {
    while (n > 0) {
      size_t take = std::min(n, buf_.size() - have_);
      std::memcpy(buf_.data() + have_, data, take);
      have_ += take;
      data += take;
      n -= take;
      if (have_ == buf_.size() && !Convert()) return false;
    }
    return true;
  }
  // The last few bytes cannot hold a whole instruction: they pass as they are.
  bool Finish() {
    if (!Convert()) return false;
    bool ok = have_ == 0 || next_.Write(buf_.data(), have_);
    have_ = 0;
    return ok;
  }

 private:
  static bool MsByte(uint8_t b) { return b == 0 || b == 0xFF; }

  bool Convert() {
    size_t done = Filter(buf_.data(), have_);
    if (done == 0) return true;
    if (!next_.Write(buf_.data(), done)) return false;
    std::memmove(buf_.data(), buf_.data() + done, have_ - done);
    have_ -= done;
    ip_ += static_cast<uint32_t>(done);
    return true;
  }

  size_t Filter(uint8_t* data, size_t size) {
    static const bool kAllowed[8] = {true, true, true, false, true, false, false, false};
    static const unsigned kBitNumber[8] = {0, 1, 2, 2, 3, 3, 3, 3};
    if (size < 5) return 0;
    const uint32_t ip = ip_ + 5;
    size_t pos = 0;
    size_t prevPos = static_cast<size_t>(0) - 1;
    uint32_t mask = state_ & 7;
    while (true) {
      size_t limit = size - 4;
      while (pos < limit && (data[pos] & 0xFE) != 0xE8) ++pos;
      if (pos >= limit) break;
      size_t gap = pos - prevPos;
      if (gap > 3) {
        mask = 0;
      } else {
        mask = (mask << (gap - 1)) & 7;
        if (mask != 0) {
          uint8_t b = data[pos + 4 - kBitNumber[mask]];
          if (!kAllowed[mask] || MsByte(b)) {
            prevPos = pos;
            mask = ((mask << 1) & 7) | 1;
            ++pos;
            continue;
          }
        }
      }
      prevPos = pos;
      uint8_t* p = data + pos;
      if (MsByte(p[4])) {
        uint32_t src = static_cast<uint32_t>(p[4]) << 24 | static_cast<uint32_t>(p[3]) << 16 |
                       static_cast<uint32_t>(p[2]) << 8 | p[1];
        uint32_t dest;
        while (true) {
          dest = src - (ip + static_cast<uint32_t>(pos));
          if (mask == 0) break;
          unsigned index = kBitNumber[mask] * 8;
          uint8_t b = static_cast<uint8_t>(dest >> (24 - index));
          if (!MsByte(b)) break;
          src = dest ^ ((1u << (32 - index)) - 1);
        }
        p[4] = static_cast<uint8_t>(~(((dest >> 24) & 1) - 1));
        p[3] = static_cast<uint8_t>(dest >> 16);
        p[2] = static_cast<uint8_t>(dest >> 8);
        p[1] = static_cast<uint8_t>(dest);
        pos += 5;
      } else {
        mask = ((mask << 1) & 7) | 1;
        ++pos;
      }
    }
    size_t gap = pos - prevPos;
    state_ = gap > 3 ? 0 : ((mask << (gap - 1)) & 7);
    return pos;
  }

  ByteSink& next_;
  std::vector<uint8_t> buf_;
  size_t have_ = 0;
  uint32_t ip_ = 0;
  uint32_t state_ = 0;
};

DecodeResult CopyStream(ByteSource& in, uint64_t size, ByteSink& out) {
  std::vector<uint8_t> buf(kReadPiece);
  while (size > 0) {
    size_t got = in.Read(buf.data(), static_cast<size_t>(std::min<uint64_t>(size, buf.size())));
    if (got == 0) return in.Failed() ? DecodeResult::kReadFailed : DecodeResult::kTruncated;
    if (!out.Write(buf.data(), got)) return DecodeResult::kOutputFailed;
    size -= got;
  }
  return DecodeResult::kOk;
}

DecodeResult InflateStream(ByteSource& in, uint64_t size, ByteSink& out) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return DecodeResult::kDamaged;
  std::vector<uint8_t> input(kReadPiece), output(kReadPiece);
  uint64_t produced = 0;
  DecodeResult result = DecodeResult::kOk;
  while (true) {
    if (z.avail_in == 0) {
      size_t got = in.Read(input.data(), input.size());
      if (got == 0) {
        result = in.Failed() ? DecodeResult::kReadFailed : DecodeResult::kTruncated;
        break;
      }
      z.next_in = input.data();
      z.avail_in = static_cast<uInt>(got);
    }
    z.next_out = output.data();
    z.avail_out = static_cast<uInt>(output.size());
    int rc = inflate(&z, Z_NO_FLUSH);
    size_t made = output.size() - z.avail_out;
    if (made > size - produced) {
      result = DecodeResult::kDamaged;
      break;
    }
    produced += made;
    if (made > 0 && !out.Write(output.data(), made)) {
      result = DecodeResult::kOutputFailed;
      break;
    }
    if (rc == Z_STREAM_END) {
      if (produced != size) result = DecodeResult::kDamaged;
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      result = DecodeResult::kDamaged;
      break;
    }
  }
  inflateEnd(&z);
  return result;
}

}  // namespace

std::wstring DecodeSevenZipFolder(platform::File& file, const SevenZipFolder& folder, ByteSink& sink,
                                  const std::wstring& sinkError) {
  CheckingSink checked(sink);
  // Filters are sinks in front of the folder's output, last coder first.
  std::vector<std::unique_ptr<BcjSink>> filters;
  ByteSink* head = &checked;
  for (size_t i = folder.chain.size(); i-- > 1;) {
    if (IsBcj(folder.coders[folder.chain[i]].method)) {
      filters.push_back(std::make_unique<BcjSink>(*head));
      head = filters.back().get();
    }
  }
  const SevenZipCoder& first = folder.coders[folder.chain[0]];
  const uint64_t firstSize = folder.unpackSizes[folder.chain[0]];
  PackedSource in(file, folder.packOffset, folder.packSize);
  const auto* props = reinterpret_cast<const uint8_t*>(first.properties.data());
  DecodeResult r;
  if (IsLzma(first.method)) {
    r = DecodeLzma(props, first.properties.size(), firstSize, in, *head);
  } else if (IsLzma2(first.method)) {
    r = DecodeLzma2(props, first.properties.size(), firstSize, in, *head);
  } else if (IsDeflate(first.method)) {
    r = InflateStream(in, firstSize, *head);
  } else if (IsBcj(first.method)) {
    filters.push_back(std::make_unique<BcjSink>(*head));
    head = filters.back().get();
    r = CopyStream(in, firstSize, *head);
  } else {
    r = CopyStream(in, firstSize, *head);
  }
  // The innermost filter (last made) finishes first, so its tail passes
  // through the ones after it.
  for (size_t i = filters.size(); r == DecodeResult::kOk && i-- > 0;)
    if (!filters[i]->Finish()) r = DecodeResult::kOutputFailed;
  switch (r) {
    case DecodeResult::kOk:
      break;
    case DecodeResult::kTruncated:
      return kTruncated;
    case DecodeResult::kReadFailed:
      return ReadFailure(in.Code());
    case DecodeResult::kOutputFailed:
      return sinkError;
    case DecodeResult::kUnsupported:
      return L"its dictionary is larger than " + std::to_wstring(kMaxDictionary >> 20) +
             L" MiB or its coder properties are invalid";
    case DecodeResult::kDamaged:
      return kDamagedData;
  }
  if (checked.Count() != folder.size) return kDamagedData;
  if (folder.crcDefined && checked.Crc() != folder.crc) return L"a CRC check failed (its packed data is damaged)";
  return L"";
}

namespace {

// Collects a decoded header in memory, up to the cap.
class MemorySink : public ByteSink {
 public:
  bool Write(const uint8_t* data, size_t n) override {
    if (n > kMaxHeader - bytes.size()) return false;
    bytes.insert(bytes.end(), data, data + n);
    return true;
  }
  std::vector<uint8_t> bytes;
};

std::wstring ReadFilesInfo(HeaderBytes& h, const StreamsInfo& si, SevenZipArchive* out) {
  uint64_t numFiles = h.Count();
  if (h.Bad() || numFiles > kMaxItems) return kDamagedHeader;
  std::vector<bool> emptyStream(numFiles, false), emptyFile, anti;
  std::vector<bool> attrDefined;
  std::vector<uint32_t> attrs;
  std::vector<std::wstring> names;
  uint64_t numEmpty = 0;
  for (uint64_t type = h.Number(); type != kEnd && !h.Bad(); type = h.Number()) {
    uint64_t size = h.Number();
    const uint8_t* data = h.Take(size);
    if (!data) break;
    HeaderBytes p(data, static_cast<size_t>(size));
    switch (type) {
      case kEmptyStream:
        emptyStream = p.Bits(numFiles);
        numEmpty = static_cast<uint64_t>(std::count(emptyStream.begin(), emptyStream.end(), true));
        break;
      case kEmptyFile:
        emptyFile = p.Bits(numEmpty);
        break;
      case kAnti:
        anti = p.Bits(numEmpty);
        break;
      case kName: {
        if (p.Byte() != 0) return L"its names are kept outside the header";
        while (p.Left() >= 2 && names.size() < numFiles) {
          std::string utf16;
          while (true) {
            const uint8_t* c = p.Take(2);
            if (!c) break;
            if (c[0] == 0 && c[1] == 0) break;
            utf16.append(reinterpret_cast<const char*>(c), 2);
          }
          if (p.Bad()) break;
          names.push_back(FromUtf16Le(utf16));
        }
        if (p.Bad() || names.size() != numFiles) return kDamagedHeader;
        break;
      }
      case kWinAttributes: {
        attrDefined = p.Defined(numFiles);
        if (p.Byte() != 0) return L"its attributes are kept outside the header";
        attrs.assign(attrDefined.size(), 0);
        for (size_t i = 0; i < attrDefined.size() && !p.Bad(); ++i)
          if (attrDefined[i]) attrs[i] = p.U32();
        if (attrDefined.size() != numFiles) p.MarkBad();
        break;
      }
      default:
        break;  // times, the start position, padding: not needed
    }
    if (p.Bad()) return kDamagedHeader;
  }
  if (h.Bad()) return kDamagedHeader;
  if (numFiles > 0 && names.size() != numFiles) return L"its entries have no names";
  size_t nextStream = 0, emptyIndex = 0;
  for (uint64_t i = 0; i < numFiles; ++i) {
    SevenZipEntry e;
    e.name = names[i];
    for (wchar_t& c : e.name)
      if (c == L'/') c = L'\\';
    if (i < attrs.size()) e.attributes = attrs[i];
    if (!emptyStream[i]) {
      if (nextStream >= si.substreams.size()) return kDamagedHeader;
      const Substream& sub = si.substreams[nextStream++];
      e.hasData = true;
      e.folderIndex = sub.folder;
      e.size = sub.size;
      e.crcDefined = sub.crcDefined;
      e.crc = sub.crc;
    } else {
      bool isFile = emptyIndex < emptyFile.size() && emptyFile[emptyIndex];
      if (emptyIndex < anti.size() && anti[emptyIndex])
        return L"it holds an entry that deletes a file (" + e.name + L")";
      ++emptyIndex;
      e.folder = !isFile;
    }
    out->entries.push_back(std::move(e));
  }
  if (nextStream != si.substreams.size()) return kDamagedHeader;
  return L"";
}

std::wstring ReadHeader(HeaderBytes& h, uint64_t archiveSize, SevenZipArchive* out) {
  StreamsInfo main;
  uint8_t id = h.Byte();
  if (id == kArchiveProperties) {
    for (uint64_t type = h.Number(); type != kEnd && !h.Bad(); type = h.Number()) h.Take(h.Number());
    id = h.Byte();
  }
  if (id == kAdditionalStreamsInfo) return L"it keeps header data in additional streams";
  if (id == kMainStreamsInfo) {
    std::wstring reason = ReadStreamsInfo(h, archiveSize, &main);
    if (!reason.empty()) return reason;
    id = h.Byte();
  }
  if (id == kFilesInfo) {
    std::wstring reason = ReadFilesInfo(h, main, out);
    if (!reason.empty()) return reason;
    id = h.Byte();
  } else if (!main.substreams.empty()) {
    return kDamagedHeader;
  }
  if (id != kEnd || h.Bad()) return kDamagedHeader;
  out->folders = std::move(main.folders);
  return L"";
}

}  // namespace

std::wstring ReadSevenZipHeaders(platform::File& file, SevenZipArchive* out) {
  *out = SevenZipArchive();
  auto size = file.Size();
  if (!size.ok()) return ReadFailure(size.code());
  auto start = file.ReadAt(0, kSignatureHeaderSize);
  if (!start.ok()) return ReadFailure(start.code());
  if (start->size() < kSignatureHeaderSize || std::memcmp(start->data(), kSignature, 6) != 0)
    return L"it is not a 7z archive";
  const auto* sig = reinterpret_cast<const uint8_t*>(start->data());
  if (sig[6] != 0) return L"its format version is not supported";
  if (Crc(sig + 12, 20) != LoadLe32(sig + 8)) return L"its start header is damaged";
  uint64_t offset = LoadLe64(sig + 12), length = LoadLe64(sig + 20);
  uint32_t headerCrc = LoadLe32(sig + 28);
  if (length == 0) return L"";  // an empty archive
  if (offset > *size - kSignatureHeaderSize || length > *size - kSignatureHeaderSize - offset) return kTruncated;
  if (length > kMaxHeader) return kDamagedHeader;
  std::vector<uint8_t> header;
  header.reserve(static_cast<size_t>(length));
  for (uint64_t at = 0; at < length;) {
    auto piece = file.ReadAt(kSignatureHeaderSize + offset + at, static_cast<size_t>(std::min<uint64_t>(length - at, 1u << 20)));
    if (!piece.ok()) return ReadFailure(piece.code());
    if (piece->empty()) return kTruncated;
    header.insert(header.end(), piece->begin(), piece->end());
    at += piece->size();
  }
  if (header.size() != length || Crc(header.data(), header.size()) != headerCrc) return kDamagedHeader;
  // An encoded header decodes to the real one (or, in theory, to another
  // encoded header).
  for (int depth = 0; depth < 4; ++depth) {
    HeaderBytes h(header.data(), header.size());
    uint8_t id = h.Byte();
    if (id == kHeader) return ReadHeader(h, *size, out);
    if (id != kEncodedHeader) return kDamagedHeader;
    StreamsInfo si;
    std::wstring reason = ReadStreamsInfo(h, *size, &si);
    if (!reason.empty()) return reason;
    if (si.folders.empty()) return kDamagedHeader;
    MemorySink decoded;
    for (const SevenZipFolder& f : si.folders) {
      if (f.size > kMaxHeader) return kDamagedHeader;
      reason = DecodeSevenZipFolder(file, f, decoded, kDamagedHeader);
      if (!reason.empty()) return reason;
    }
    header = std::move(decoded.bytes);
  }
  return kDamagedHeader;
}

}  // namespace corvex::online
