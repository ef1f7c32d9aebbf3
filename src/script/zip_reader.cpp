#include "script/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <new>
#include <set>

#include "base/path.h"
#include "base/text.h"
#include "core/session_log.h"

namespace corvex {

namespace {

constexpr uint32_t kLocalSig = 0x04034b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kEnd64Sig = 0x06064b50;
constexpr uint32_t kLocator64Sig = 0x07064b50;
constexpr size_t kEndSize = 22;
constexpr size_t kLocator64Size = 20;
constexpr size_t kEnd64Size = 56;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr size_t kMaxComment = 0xFFFF;
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint16_t kZip64ExtraId = 0x0001;
// Deflate cannot expand data more than about 1032 times.
constexpr uint64_t kMaxDeflateRatio = 1032;

const wchar_t kNotZip[] = L"The file is not a zip archive.";
const wchar_t kBadDirectory[] = L"The zip central directory is truncated or corrupt.";
const wchar_t kBadSize[] = L"does not have the size its header declares.";
const wchar_t kNoMemory[] = L"Not enough memory to extract the zip archive.";

// Entry names go into one-line messages: control characters are masked.
std::wstring Shown(const std::wstring& name) { return MaskedForSentence(name, std::wstring::npos); }

std::wstring EntryError(const ZipEntry& e, const std::wstring& what) { return L"Zip entry " + Shown(e.name) + L" " + what; }

std::wstring ReadError(const std::wstring& zip, uint32_t code) {
  return L"Failed to read zip file " + StripLongPathPrefix(zip) + L" with error code " + ErrorCodeName(code) + L".";
}

}  // namespace

// A bounds-checked little-endian view of the archive that holds one range of
// it at a time: reads outside the range load a new one. Past the end of the
// file, or after a failed read, values are 0 and Has() says so first.
class ZipWindow {
 public:
  ZipWindow(platform::File& file, uint64_t size, uint32_t& readError)
      : file_(file), size_(size), readError_(readError) {}
  uint64_t size() const { return size_; }
  bool Has(uint64_t pos, uint64_t len) const { return pos <= size_ && len <= size_ - pos; }
  // Makes [pos, pos + len) readable; false when it is outside the file or the
  // read failed.
  bool Need(uint64_t pos, uint64_t len) {
    if (!Has(pos, len)) return false;
    if (pos >= base_ && pos - base_ + len <= bytes_.size()) return true;
    if (readError_) return false;
    uint64_t count = std::min<uint64_t>(std::max<uint64_t>(len, ZipReader::kPiece), size_ - pos);
    auto got = file_.ReadAt(pos, static_cast<size_t>(count));
    if (!got.ok()) {
      readError_ = got.code();
      bytes_.clear();
      return false;
    }
    bytes_ = std::move(*got);
    base_ = pos;
    // A file that shrank under us reads as one that ends here.
    return bytes_.size() >= len;
  }
  uint16_t U16(uint64_t p) { return static_cast<uint16_t>(Byte(p) | Byte(p + 1) << 8); }
  uint32_t U32(uint64_t p) { return U16(p) | static_cast<uint32_t>(U16(p + 2)) << 16; }
  uint64_t U64(uint64_t p) { return U32(p) | static_cast<uint64_t>(U32(p + 4)) << 32; }
  bool SigAt(uint64_t p, uint32_t sig) { return Has(p, 4) && U32(p) == sig; }
  std::string Slice(uint64_t p, uint64_t len) {
    if (!Need(p, len)) return std::string();
    return bytes_.substr(static_cast<size_t>(p - base_), static_cast<size_t>(len));
  }

 private:
  uint32_t Byte(uint64_t p) {
    if (!Need(p, 1)) return 0;
    return static_cast<unsigned char>(bytes_[static_cast<size_t>(p - base_)]);
  }
  platform::File& file_;
  uint64_t size_;
  uint32_t& readError_;
  std::string bytes_;
  uint64_t base_ = 0;
};

struct ZipReader::Inflater {
  z_stream zs{};
  bool ready = false;
  std::string out;
  ~Inflater() {
    if (ready) inflateEnd(&zs);
  }
};

namespace {

// The end of central directory record: last candidate from the end whose
// comment reaches exactly to the end of the file, else one followed by junk.
bool FindEnd(ZipWindow& b, uint64_t* endPos) {
  if (b.size() < kEndSize) return false;
  uint64_t last = b.size() - kEndSize;
  uint64_t first = last > kMaxComment ? last - kMaxComment : 0;
  // One read for the whole search.
  if (!b.Need(first, b.size() - first)) return false;
  bool loose = false;
  uint64_t loosePos = 0;
  for (uint64_t p = last + 1; p-- > first;) {
    if (!b.SigAt(p, kEndSig)) continue;
    uint64_t end = p + kEndSize + b.U16(p + 20);
    if (end == b.size()) {
      *endPos = p;
      return true;
    }
    if (end < b.size() && !loose) {
      loose = true;
      loosePos = p;
    }
  }
  *endPos = loosePos;
  return loose;
}

struct Directory {
  uint64_t count = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  uint64_t recordPos = 0;  // where the central directory should end
};

// Reads the classic end record and, when present or needed, the ZIP64 one.
std::wstring ReadDirectoryInfo(ZipWindow& b, uint64_t endPos, Directory* d) {
  uint16_t disk = b.U16(endPos + 4), cdDisk = b.U16(endPos + 6);
  uint16_t countHere = b.U16(endPos + 8), count = b.U16(endPos + 10);
  uint32_t size = b.U32(endPos + 12), offset = b.U32(endPos + 16);
  bool markers = count == 0xFFFF || countHere == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF;
  d->count = count;
  d->size = size;
  d->offset = offset;
  d->recordPos = endPos;

  bool hasLocator = endPos >= kLocator64Size && b.SigAt(endPos - kLocator64Size, kLocator64Sig);
  if (hasLocator) {
    uint64_t locator = endPos - kLocator64Size;
    uint64_t stated = b.U64(locator + 8);
    uint32_t locatorDisk = b.U32(locator + 4);
    uint64_t pos = 0;
    bool found = false;
    if (b.Has(stated, kEnd64Size) && stated + kEnd64Size <= locator && b.SigAt(stated, kEnd64Sig)) {
      pos = stated;
      found = true;
    } else if (locator >= kEnd64Size && b.SigAt(locator - kEnd64Size, kEnd64Sig)) {
      pos = locator - kEnd64Size;  // data was put in front of the archive
      found = true;
    }
    if (found) {
      if (b.U32(pos + 16) != 0 || b.U32(pos + 20) != 0 || locatorDisk != 0)
        return L"Zip archives split over several disks are not supported.";
      d->count = b.U64(pos + 32);
      d->size = b.U64(pos + 40);
      d->offset = b.U64(pos + 48);
      d->recordPos = pos;
      return L"";
    }
  }
  if (markers) return kBadDirectory;
  if (disk != 0 || cdDisk != 0 || countHere != count) return L"Zip archives split over several disks are not supported.";
  return L"";
}

// Fills in the 64-bit values that the central header marks with all ones.
bool ApplyZip64Extra(ZipWindow& b, uint64_t extra, uint64_t extraLen, uint32_t size, uint32_t csize,
                     uint32_t offset, ZipEntry* e) {
  bool needSize = size == 0xFFFFFFFF, needCsize = csize == 0xFFFFFFFF, needOffset = offset == 0xFFFFFFFF;
  if (!needSize && !needCsize && !needOffset) return true;
  uint64_t p = extra, end = extra + extraLen;
  while (p + 4 <= end) {
    uint16_t id = b.U16(p), len = b.U16(p + 2);
    uint64_t data = p + 4;
    if (data + len > end) break;
    if (id == kZip64ExtraId) {
      uint64_t need = 8 * (needSize + needCsize + needOffset);
      if (len < need) return false;
      if (needSize) {
        e->size = b.U64(data);
        data += 8;
      }
      if (needCsize) {
        e->compressedSize = b.U64(data);
        data += 8;
      }
      if (needOffset) e->localHeaderOffset = b.U64(data);
      return true;
    }
    p = data + len;
  }
  return false;
}

// Central directory names: '/' separated, UTF-8 only when flagged.
void SetName(const std::string& raw, uint16_t flags, ZipEntry* e) {
  std::wstring name = (flags & kFlagUtf8) ? FromUtf8(raw) : FromCp437(raw);
  name = ReplaceAll(name, L"/", L"\\");
  if (!name.empty() && name.back() == L'\\') {
    e->folder = true;
    name.pop_back();
  }
  e->name = name;
}

bool IsDeviceName(const std::wstring& part) {
  // Windows maps these to devices in any folder and with any extension.
  std::wstring base = part.substr(0, part.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  base = ToUpper(base);
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"};
  for (const wchar_t* d : kDevices)
    if (base == d) return true;
  if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
    wchar_t n = base[3];
    return (n >= L'0' && n <= L'9') || n == 0xB9 || n == 0xB2 || n == 0xB3;
  }
  return false;
}

}  // namespace

std::wstring FromCp437(const std::string& bytes) {
  static const uint16_t kHigh[128] = {
      0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
      0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
      0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
      0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
      0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
      0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
      0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
      0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
      0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
      0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};
  std::wstring out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    unsigned char c = static_cast<unsigned char>(ch);
    out.push_back(c < 0x80 ? static_cast<wchar_t>(c) : static_cast<wchar_t>(kHigh[c - 0x80]));
  }
  return out;
}

bool IsSafeZipEntryName(const std::wstring& name) {
  if (name.empty()) return false;
  for (wchar_t c : name) {
    if (static_cast<uint32_t>(c) < 0x20 || c == 0x7F) return false;
    // U+FFFD: a UTF-8 name that did not decode (an overlong '/' among them).
    if (c == 0xFFFD) return false;
    // ':' would name a drive or an alternate stream; the rest cannot be in a file name.
    if (c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|' || c == L'/')
      return false;
  }
  for (const std::wstring& part : Split(name, L"\\")) {
    // Empty parts come from a leading separator (root or UNC) or doubled ones;
    // parts of only dots and spaces are ".", ".." or turn into them.
    if (part.find_first_not_of(L". ") == std::wstring::npos) return false;
    if (IsDeviceName(part)) return false;
  }
  return true;
}

bool IsSafeFileName(const std::wstring& name) {
  if (name.find(L'\\') != std::wstring::npos || !IsSafeZipEntryName(name)) return false;
  return name.back() != L'.' && name.back() != L' ';
}

ZipReader::ZipReader(platform::File& file, std::wstring name) : file_(file), name_(std::move(name)) {
  auto size = file_.Size();
  if (size.ok())
    size_ = *size;
  else
    readError_ = size.code();
  window_ = std::make_unique<ZipWindow>(file_, size_, readError_);
}

ZipReader::~ZipReader() = default;

std::wstring ZipReader::ReadFailure() const { return ReadError(name_, readError_); }

ZipListing ZipReader::Parse() {
  ZipListing out;
  ZipWindow& b = *window_;
  auto fail = [&](const std::wstring& error) {
    out.entries.clear();
    out.error = readError_ ? ReadFailure() : error;
    return out;
  };
  uint64_t endPos = 0;
  if (!FindEnd(b, &endPos)) return fail(kNotZip);
  Directory d;
  std::wstring error = ReadDirectoryInfo(b, endPos, &d);
  if (!error.empty() || readError_) return fail(error);
  if (d.count == 0) return out;
  if (d.offset > d.recordPos || d.size > d.recordPos - d.offset) return fail(kBadDirectory);
  // Data put in front of an archive (a self-extractor) shifts every offset.
  uint64_t shift = d.recordPos - (d.offset + d.size);
  if (!b.SigAt(d.offset + shift, kCentralSig)) shift = 0;
  uint64_t p = d.offset + shift, end = p + d.size;
  // Each header takes at least 46 bytes: a larger count cannot be true.
  if (d.count > d.size / kCentralSize) return fail(kBadDirectory);
  for (uint64_t i = 0; i < d.count; ++i) {
    if (p + kCentralSize > end || !b.Need(p, kCentralSize) || b.U32(p) != kCentralSig) return fail(kBadDirectory);
    ZipEntry e;
    e.flags = b.U16(p + 8);
    e.method = b.U16(p + 10);
    e.crc32 = b.U32(p + 16);
    uint32_t csize = b.U32(p + 20), size = b.U32(p + 24), offset = b.U32(p + 42);
    uint64_t nameLen = b.U16(p + 28), extraLen = b.U16(p + 30), commentLen = b.U16(p + 32);
    uint32_t attributes = b.U32(p + 38);
    uint8_t host = static_cast<uint8_t>(b.U16(p + 4) >> 8);
    uint64_t next = p + kCentralSize + nameLen + extraLen + commentLen;
    if (next > end || !b.Need(p, next - p)) return fail(kBadDirectory);
    e.compressedSize = csize;
    e.size = size;
    e.localHeaderOffset = offset;
    if (!ApplyZip64Extra(b, p + kCentralSize + nameLen, extraLen, size, csize, offset, &e)) return fail(kBadDirectory);
    e.localHeaderOffset += shift;
    SetName(b.Slice(p + kCentralSize, nameLen), e.flags, &e);
    // DOS, NTFS and VFAT hosts may mark a folder by its attribute alone.
    bool dosAttributes = host == 0 || host == 10 || host == 14;
    if (dosAttributes && (attributes & platform::attr::kDirectory) && e.size == 0) e.folder = true;
    out.entries.push_back(std::move(e));
    p = next;
  }
  if (readError_) return fail(L"");
  return out;
}

std::wstring ZipReader::Locate(ZipEntry& entry) {
  if (entry.flags & kFlagEncrypted) return EntryError(entry, L"is encrypted.");
  if (entry.method != 0 && entry.method != 8)
    return EntryError(entry, L"uses unsupported compression method " + Decimal(entry.method) + L".");
  // A read of its own: the window holds the central directory, and local
  // headers are spread over the whole archive.
  uint64_t lh = entry.localHeaderOffset;
  std::string header;
  if (window_->Has(lh, kLocalSize)) {
    auto read = file_.ReadAt(lh, kLocalSize);
    if (!read.ok()) return ReadError(name_, read.code());
    header = std::move(*read);
  }
  auto u16 = [&](size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(header[at]) | static_cast<unsigned char>(header[at + 1]) << 8);
  };
  if (header.size() != kLocalSize || (u16(0) | static_cast<uint32_t>(u16(2)) << 16) != kLocalSig)
    return L"The local header of zip entry " + Shown(entry.name) + L" is truncated or corrupt.";
  uint64_t data = lh + kLocalSize + u16(26) + u16(28);
  ZipWindow& b = *window_;
  if (!b.Has(data, entry.compressedSize)) return L"The data of zip entry " + Shown(entry.name) + L" is truncated.";
  // Sizes that the data cannot have are refused before anything is read or
  // written for them.
  if (entry.method == 0 && entry.compressedSize != entry.size) return EntryError(entry, kBadSize);
  if (entry.method == 8 && entry.size > entry.compressedSize * kMaxDeflateRatio + 64)
    return EntryError(entry, kBadSize);
  entry.dataOffset = data;
  return L"";
}

std::wstring ZipReader::Inflate(const ZipEntry& entry, const Sink& sink) {
  return entry.method == 0 ? InflateStored(entry, sink) : InflateDeflated(entry, sink);
}

std::wstring ZipReader::InflateStored(const ZipEntry& entry, const Sink& sink) {
  uLong crc = crc32(0L, Z_NULL, 0);
  for (uint64_t done = 0; done < entry.size;) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(entry.size - done, kPiece));
    auto piece = file_.ReadAt(entry.dataOffset + done, count);
    if (!piece.ok()) return ReadError(name_, piece.code());
    if (piece->size() != count) return L"The data of zip entry " + Shown(entry.name) + L" is truncated.";
    crc = crc32(crc, reinterpret_cast<const Bytef*>(piece->data()), static_cast<uInt>(count));
    std::wstring error = sink(*piece);
    if (!error.empty()) return error;
    done += count;
  }
  if (static_cast<uint32_t>(crc) != entry.crc32) return EntryError(entry, L"failed its CRC-32 check.");
  return L"";
}

std::wstring ZipReader::InflateDeflated(const ZipEntry& entry, const Sink& sink) {
  if (!inflater_) inflater_ = std::make_unique<Inflater>();
  Inflater& in = *inflater_;
  z_stream& zs = in.zs;
  if (!in.ready) {
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return EntryError(entry, L"could not be inflated.");
    in.ready = true;
    in.out.resize(kPiece);
  } else if (inflateReset(&zs) != Z_OK) {
    return EntryError(entry, L"could not be inflated.");
  }
  std::string input;
  uint64_t inPos = entry.dataOffset, inLeft = entry.compressedSize, outDone = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  size_t have = 0;  // bytes of in.out not yet handed over
  zs.avail_in = 0;
  for (;;) {
    if (zs.avail_in == 0 && inLeft > 0) {
      size_t count = static_cast<size_t>(std::min<uint64_t>(inLeft, kPiece));
      auto read = file_.ReadAt(inPos, count);
      if (!read.ok()) return ReadError(name_, read.code());
      if (read->size() != count) return L"The data of zip entry " + Shown(entry.name) + L" is truncated.";
      input = std::move(*read);
      zs.next_in = reinterpret_cast<Bytef*>(&input[0]);
      zs.avail_in = static_cast<uInt>(count);
      inPos += count;
      inLeft -= count;
    }
    zs.next_out = reinterpret_cast<Bytef*>(&in.out[have]);
    zs.avail_out = static_cast<uInt>(kPiece - have);
    int r = inflate(&zs, Z_NO_FLUSH);
    have = kPiece - zs.avail_out;
    // Output beyond the declared size is refused before it is handed over.
    if (have > entry.size - outDone) return EntryError(entry, kBadSize);
    if (have > 0 && (have == kPiece || r == Z_STREAM_END)) {
      crc = crc32(crc, reinterpret_cast<const Bytef*>(in.out.data()), static_cast<uInt>(have));
      std::wstring error = sink(have == kPiece ? in.out : in.out.substr(0, have));
      if (!error.empty()) return error;
      outDone += have;
      have = 0;
    }
    if (r == Z_STREAM_END) break;
    // Z_BUF_ERROR here means the input ran out before the end of the stream.
    if (r != Z_OK) return EntryError(entry, L"holds bad deflate data.");
  }
  if (outDone != entry.size) return EntryError(entry, kBadSize);
  if (static_cast<uint32_t>(crc) != entry.crc32) return EntryError(entry, L"failed its CRC-32 check.");
  return L"";
}

namespace {

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') return folder + name;
  return folder + L"\\" + name;
}

std::wstring FolderError(const std::wstring& path, uint32_t code) {
  return L"Failed to create folder " + StripLongPathPrefix(path) + L" with error code " + ErrorCodeName(code) + L".";
}
std::wstring WriteError(const std::wstring& path, uint32_t code) {
  return L"Failed to write extracted file " + StripLongPathPrefix(path) + L" with error code " + ErrorCodeName(code) + L".";
}

// What an extraction has put on disk, so that a failure can take it back:
// the destination folders it made, the staging tree and the files moved out
// of it. A file that replaced an older one cannot be given back its old
// content; the folder the program extracts into is emptied at every start,
// so there is none there.
class Placement {
 public:
  explicit Placement(platform::FileSystem& fs) : fs_(fs) {}

  // Creates `path` and its missing parents; `shown` names it in the sentence.
  std::wstring MakeFolder(const std::wstring& path, const std::wstring& shown, std::vector<std::wstring>& made,
                          int depth = 0) {
    platform::Status s = fs_.CreateFolder(path);
    if (s.ok()) {
      made.push_back(path);
      return L"";
    }
    if (s.code() == platform::err::kAlreadyExists) return L"";
    if (s.code() == platform::err::kPathNotFound && depth < 256) {
      size_t cut = path.find_last_of(L"\\/");
      if (cut != std::wstring::npos && cut > 0) {
        std::wstring parent = path.substr(0, cut);
        bool root = parent.size() <= 2 || parent.back() == L':' || parent.back() == L'?';
        if (!root) {
          std::wstring e = MakeFolder(parent, parent, made, depth + 1);
          if (!e.empty()) return e;
          s = fs_.CreateFolder(path);
          if (s.ok()) {
            made.push_back(path);
            return L"";
          }
          if (s.code() == platform::err::kAlreadyExists) return L"";
        }
      }
    }
    return FolderError(shown, s.code());
  }

  void Undo() {
    // Files already moved on are no longer there to delete.
    for (const std::wstring& f : staged) fs_.DeleteFile(f);
    RemoveAll(stagingFolders);
    for (const std::wstring& f : moved) fs_.DeleteFile(f);
    RemoveAll(destinationFolders);
  }
  // Removes the emptied staging tree after a successful move.
  void Finish() { RemoveAll(stagingFolders); }

  std::vector<std::wstring> destinationFolders, stagingFolders, staged, moved;

 private:
  void RemoveAll(std::vector<std::wstring>& folders) {
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) fs_.RemoveFolder(*it);
    folders.clear();
  }
  platform::FileSystem& fs_;
};

// A folder name for the staging tree that no entry uses at the top level and
// that is not there yet.
std::wstring StagingName(platform::FileSystem& fs, const std::wstring& dest, const std::vector<ZipEntry>& entries) {
  std::set<std::wstring> taken;
  for (const ZipEntry& e : entries) taken.insert(ToLower(e.name.substr(0, e.name.find(L'\\'))));
  for (unsigned n = 0;; ++n) {
    std::wstring name = L".extracting" + (n ? Decimal(n) : std::wstring());
    if (!taken.count(name) && !fs.GetAttributes(JoinPath(dest, name)).ok()) return name;
  }
}

std::wstring Extract(platform::FileSystem& fs, const std::wstring& zipPath, const std::wstring& dest,
                     Placement& placement) {
  auto file = fs.Open(zipPath, platform::access::kRead, platform::share::kRead | platform::share::kWrite,
                      platform::Disposition::kOpenExisting);
  if (!file.ok()) return ReadError(zipPath, file.code());
  ZipReader reader(**file, zipPath);
  auto size = (*file)->Size();
  if (!size.ok()) return ReadError(zipPath, size.code());
  if (*size == 0) return L"The zip file " + zipPath + L" is empty.";
  ZipListing listing = reader.Parse();
  if (!listing.error.empty()) return listing.error;
  if (listing.entries.empty()) return L"";

  // Everything that can be judged without the data is judged before the
  // first write.
  for (const ZipEntry& e : listing.entries)
    if (!IsSafeZipEntryName(e.name))
      return L"Refused the zip archive because entry " + Shown(e.name) + L" has an unsafe name.";
  for (ZipEntry& e : listing.entries) {
    if (e.folder) continue;
    std::wstring error = reader.Locate(e);
    if (!error.empty()) return error;
  }

  std::wstring error = placement.MakeFolder(dest, dest, placement.destinationFolders);
  if (!error.empty()) return error;
  const std::wstring staging = JoinPath(dest, StagingName(fs, dest, listing.entries));
  error = placement.MakeFolder(staging, staging, placement.stagingFolders);
  if (!error.empty()) return error;

  // Each entry is inflated once, into the staging tree; names that differ
  // only in case are one file on Windows, the last entry's.
  std::set<std::wstring> folders, files;
  auto makeFolders = [&](const std::wstring& root, std::vector<std::wstring>& made, const std::vector<std::wstring>& parts,
                         size_t count, std::set<std::wstring>& done) -> std::wstring {
    std::wstring rel;
    for (size_t i = 0; i < count; ++i) {
      rel += (i ? L"\\" : L"") + parts[i];
      if (!done.insert(ToLower(rel)).second) continue;
      std::wstring e = placement.MakeFolder(JoinPath(root, rel), JoinPath(dest, rel), made);
      if (!e.empty()) return e;
    }
    return L"";
  };
  for (const ZipEntry& e : listing.entries) {
    std::vector<std::wstring> parts = Split(e.name, L"\\");
    error = makeFolders(staging, placement.stagingFolders, parts, e.folder ? parts.size() : parts.size() - 1, folders);
    if (!error.empty()) return error;
    if (e.folder) continue;
    const std::wstring staged = JoinPath(staging, e.name), shown = JoinPath(dest, e.name);
    auto out = fs.Open(staged, platform::access::kWrite, platform::share::kNone, platform::Disposition::kCreateAlways);
    if (!out.ok()) return WriteError(shown, out.code());
    if (files.insert(ToLower(e.name)).second) placement.staged.push_back(staged);
    error = reader.Inflate(e, [&](const std::string& piece) -> std::wstring {
      platform::Status s = (*out)->Append(piece);
      return s.ok() ? L"" : WriteError(shown, s.code());
    });
    if (!error.empty()) return error;
  }

  // Every entry passed: the tree goes into place.
  std::set<std::wstring> placedFolders, placedFiles;
  for (const ZipEntry& e : listing.entries) {
    std::vector<std::wstring> parts = Split(e.name, L"\\");
    error = makeFolders(dest, placement.destinationFolders, parts, e.folder ? parts.size() : parts.size() - 1,
                        placedFolders);
    if (!error.empty()) return error;
    if (e.folder || !placedFiles.insert(ToLower(e.name)).second) continue;
    const std::wstring staged = JoinPath(staging, e.name), target = JoinPath(dest, e.name);
    platform::Status s = fs.MoveFile(staged, target, true);
    if (!s.ok()) return WriteError(target, s.code());
    placement.moved.push_back(target);
  }
  placement.Finish();
  return L"";
}

}  // namespace

std::wstring ExtractZip(platform::FileSystem& fs, const std::wstring& zipPath, const std::wstring& destFolder) {
  Placement placement(fs);
  std::wstring error;
  try {
    error = Extract(fs, zipPath, destFolder, placement);
  } catch (const std::bad_alloc&) {
    // A 32-bit process may not find room even for the pieces; that is a
    // failed extraction, not the end of the run.
    error = kNoMemory;
  }
  if (!error.empty()) {
    try {
      placement.Undo();
    } catch (const std::bad_alloc&) {
    }
  }
  return error;
}

}  // namespace corvex
