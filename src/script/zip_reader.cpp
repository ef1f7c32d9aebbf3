#include "script/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <set>

#include "base/text.h"

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
// zlib counts in 32-bit units; larger spans are fed in pieces.
constexpr uint64_t kChunk = 1u << 30;
// Deflate cannot expand data more than about 1032 times.
constexpr uint64_t kMaxDeflateRatio = 1032;

const wchar_t kNotZip[] = L"The file is not a zip archive.";
const wchar_t kBadDirectory[] = L"The zip central directory is truncated or corrupt.";

// Bounds-checked little-endian reads over the archive bytes.
class Bytes {
 public:
  explicit Bytes(const std::string& b) : b_(b) {}
  uint64_t size() const { return b_.size(); }
  bool Has(uint64_t pos, uint64_t len) const { return pos <= b_.size() && len <= b_.size() - pos; }
  uint16_t U16(uint64_t p) const { return static_cast<uint16_t>(Byte(p) | Byte(p + 1) << 8); }
  uint32_t U32(uint64_t p) const { return U16(p) | static_cast<uint32_t>(U16(p + 2)) << 16; }
  uint64_t U64(uint64_t p) const { return U32(p) | static_cast<uint64_t>(U32(p + 4)) << 32; }
  bool SigAt(uint64_t p, uint32_t sig) const { return Has(p, 4) && U32(p) == sig; }
  const unsigned char* At(uint64_t p) const { return reinterpret_cast<const unsigned char*>(b_.data()) + p; }
  std::string Slice(uint64_t p, uint64_t len) const { return b_.substr(static_cast<size_t>(p), static_cast<size_t>(len)); }

 private:
  uint32_t Byte(uint64_t p) const { return static_cast<unsigned char>(b_[static_cast<size_t>(p)]); }
  const std::string& b_;
};

// Entry names go into one-line messages: control characters are masked.
std::wstring Shown(const std::wstring& name) {
  std::wstring out = name;
  for (auto& c : out)
    if (static_cast<uint32_t>(c) < 0x20 || c == 0x7F) c = L'?';
  return out;
}

std::wstring EntryError(const ZipEntry& e, const std::wstring& what) { return L"Zip entry " + Shown(e.name) + L" " + what; }

uint32_t Crc32(const unsigned char* p, uint64_t len) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (len > 0) {
    uInt n = static_cast<uInt>(std::min(len, kChunk));
    crc = crc32(crc, p, n);
    p += n;
    len -= n;
  }
  return static_cast<uint32_t>(crc);
}

// The end of central directory record: last candidate from the end whose
// comment reaches exactly to the end of the file, else one followed by junk.
bool FindEnd(const Bytes& b, uint64_t* endPos) {
  if (b.size() < kEndSize) return false;
  uint64_t last = b.size() - kEndSize;
  uint64_t first = last > kMaxComment ? last - kMaxComment : 0;
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
std::wstring ReadDirectoryInfo(const Bytes& b, uint64_t endPos, Directory* d) {
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
      if (b.U32(pos + 16) != 0 || b.U32(pos + 20) != 0 || b.U32(locator + 4) != 0)
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
bool ApplyZip64Extra(const Bytes& b, uint64_t extra, uint64_t extraLen, uint32_t size, uint32_t csize,
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

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') return folder + name;
  return folder + L"\\" + name;
}

// Creates `path`, and its parents when they are missing too.
std::wstring CreateFolderChain(platform::FileSystem& fs, const std::wstring& path, int depth = 0) {
  platform::Status s = fs.CreateFolder(path);
  if (s.ok() || s.code() == platform::err::kAlreadyExists) return L"";
  if (s.code() == platform::err::kPathNotFound && depth < 256) {
    size_t cut = path.find_last_of(L"\\/");
    if (cut != std::wstring::npos && cut > 0) {
      std::wstring parent = path.substr(0, cut);
      bool root = parent.size() <= 2 || parent.back() == L':';
      if (!root) {
        std::wstring e = CreateFolderChain(fs, parent, depth + 1);
        if (!e.empty()) return e;
        s = fs.CreateFolder(path);
        if (s.ok() || s.code() == platform::err::kAlreadyExists) return L"";
      }
    }
  }
  return L"Failed to create folder " + path + L" with error code " + Decimal(s.code()) + L".";
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

ZipListing ZipReader::Parse(const std::string& archive) {
  ZipListing out;
  Bytes b(archive);
  uint64_t endPos = 0;
  if (!FindEnd(b, &endPos)) {
    out.error = kNotZip;
    return out;
  }
  Directory d;
  out.error = ReadDirectoryInfo(b, endPos, &d);
  if (!out.error.empty()) return out;
  if (d.count == 0) return out;
  if (d.offset > d.recordPos || d.size > d.recordPos - d.offset) {
    out.error = kBadDirectory;
    return out;
  }
  // Data put in front of an archive (a self-extractor) shifts every offset.
  uint64_t shift = d.recordPos - (d.offset + d.size);
  if (!b.SigAt(d.offset + shift, kCentralSig)) shift = 0;
  uint64_t p = d.offset + shift, end = p + d.size;
  // Each header takes at least 46 bytes: a larger count cannot be true.
  if (d.count > d.size / kCentralSize) {
    out.error = kBadDirectory;
    return out;
  }
  out.entries.reserve(static_cast<size_t>(d.count));
  for (uint64_t i = 0; i < d.count; ++i) {
    if (p + kCentralSize > end || b.U32(p) != kCentralSig) {
      out.entries.clear();
      out.error = kBadDirectory;
      return out;
    }
    ZipEntry e;
    e.flags = b.U16(p + 8);
    e.method = b.U16(p + 10);
    e.crc32 = b.U32(p + 16);
    uint32_t csize = b.U32(p + 20), size = b.U32(p + 24), offset = b.U32(p + 42);
    uint64_t nameLen = b.U16(p + 28), extraLen = b.U16(p + 30), commentLen = b.U16(p + 32);
    uint32_t attributes = b.U32(p + 38);
    uint8_t host = static_cast<uint8_t>(b.U16(p + 4) >> 8);
    uint64_t next = p + kCentralSize + nameLen + extraLen + commentLen;
    if (next > end) {
      out.entries.clear();
      out.error = kBadDirectory;
      return out;
    }
    e.compressedSize = csize;
    e.size = size;
    e.localHeaderOffset = offset;
    if (!ApplyZip64Extra(b, p + kCentralSize + nameLen, extraLen, size, csize, offset, &e)) {
      out.entries.clear();
      out.error = kBadDirectory;
      return out;
    }
    e.localHeaderOffset += shift;
    SetName(b.Slice(p + kCentralSize, nameLen), e.flags, &e);
    // DOS, NTFS and VFAT hosts may mark a folder by its attribute alone.
    bool dosAttributes = host == 0 || host == 10 || host == 14;
    if (dosAttributes && (attributes & platform::attr::kDirectory) && e.size == 0) e.folder = true;
    out.entries.push_back(std::move(e));
    p = next;
  }
  return out;
}

std::wstring ZipReader::Inflate(const std::string& archive, const ZipEntry& entry, std::string* out) {
  out->clear();
  if (entry.flags & kFlagEncrypted) return EntryError(entry, L"is encrypted.");
  if (entry.method != 0 && entry.method != 8)
    return EntryError(entry, L"uses unsupported compression method " + Decimal(entry.method) + L".");
  Bytes b(archive);
  uint64_t lh = entry.localHeaderOffset;
  if (!b.Has(lh, kLocalSize) || b.U32(lh) != kLocalSig)
    return L"The local header of zip entry " + Shown(entry.name) + L" is truncated or corrupt.";
  uint64_t data = lh + kLocalSize + b.U16(lh + 26) + b.U16(lh + 28);
  if (!b.Has(data, entry.compressedSize)) return L"The data of zip entry " + Shown(entry.name) + L" is truncated.";
  const wchar_t* badSize = L"does not have the size its header declares.";

  if (entry.method == 0) {
    if (entry.compressedSize != entry.size) return EntryError(entry, badSize);
    *out = b.Slice(data, entry.size);
  } else {
    if (entry.size > entry.compressedSize * kMaxDeflateRatio + 64) return EntryError(entry, badSize);
    out->resize(static_cast<size_t>(entry.size));
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return EntryError(entry, L"could not be inflated.");
    const unsigned char* in = b.At(data);
    uint64_t inLeft = entry.compressedSize, outPos = 0;
    unsigned char spare[64];
    std::wstring error;
    for (;;) {
      if (zs.avail_in == 0 && inLeft > 0) {
        uInt n = static_cast<uInt>(std::min(inLeft, kChunk));
        zs.next_in = const_cast<unsigned char*>(in);
        zs.avail_in = n;
        in += n;
        inLeft -= n;
      }
      // Once the declared size is reached, any further output is an error.
      bool full = outPos == entry.size;
      uInt room = full ? sizeof spare : static_cast<uInt>(std::min(entry.size - outPos, kChunk));
      zs.next_out = full ? spare : reinterpret_cast<unsigned char*>(&(*out)[static_cast<size_t>(outPos)]);
      zs.avail_out = room;
      int r = inflate(&zs, Z_NO_FLUSH);
      uInt produced = room - zs.avail_out;
      if (full && produced > 0) {
        error = EntryError(entry, badSize);
        break;
      }
      outPos += full ? 0 : produced;
      if (r == Z_STREAM_END) break;
      if (r != Z_OK) {
        // Z_BUF_ERROR here means the input ran out before the end of the stream.
        error = EntryError(entry, L"holds bad deflate data.");
        break;
      }
    }
    inflateEnd(&zs);
    if (!error.empty()) {
      out->clear();
      return error;
    }
    if (outPos != entry.size) {
      out->clear();
      return EntryError(entry, badSize);
    }
  }
  if (Crc32(reinterpret_cast<const unsigned char*>(out->data()), out->size()) != entry.crc32) {
    out->clear();
    return EntryError(entry, L"failed its CRC-32 check.");
  }
  return L"";
}

std::wstring ExtractZip(platform::FileSystem& fs, const std::wstring& zipPath, const std::wstring& destFolder) {
  platform::Result<std::string> bytes = fs.ReadFile(zipPath);
  if (!bytes.ok()) return L"Failed to read zip file " + zipPath + L" with error code " + Decimal(bytes.code()) + L".";
  if (bytes->empty()) return L"The zip file " + zipPath + L" is empty.";
  ZipListing listing = ZipReader::Parse(*bytes);
  if (!listing.error.empty()) return listing.error;
  if (listing.entries.empty()) return L"";

  // Everything is checked before the first write, so a refused or damaged
  // archive leaves no partial output behind.
  for (const ZipEntry& e : listing.entries)
    if (!IsSafeZipEntryName(e.name))
      return L"Refused the zip archive because entry " + Shown(e.name) + L" has an unsafe name.";
  std::string data;
  for (const ZipEntry& e : listing.entries) {
    if (e.folder) continue;
    std::wstring error = ZipReader::Inflate(*bytes, e, &data);
    if (!error.empty()) return error;
  }

  std::wstring error = CreateFolderChain(fs, destFolder);
  if (!error.empty()) return error;
  std::set<std::wstring> made;  // lower-case folder names already created
  auto makeFolders = [&](const std::vector<std::wstring>& parts, size_t count) -> std::wstring {
    std::wstring rel;
    for (size_t i = 0; i < count; ++i) {
      rel += (i ? L"\\" : L"") + parts[i];
      if (!made.insert(ToLower(rel)).second) continue;
      std::wstring path = JoinPath(destFolder, rel);
      platform::Status s = fs.CreateFolder(path);
      if (!s.ok() && s.code() != platform::err::kAlreadyExists)
        return L"Failed to create folder " + path + L" with error code " + Decimal(s.code()) + L".";
    }
    return L"";
  };
  for (const ZipEntry& e : listing.entries) {
    std::vector<std::wstring> parts = Split(e.name, L"\\");
    error = makeFolders(parts, e.folder ? parts.size() : parts.size() - 1);
    if (!error.empty()) return error;
    if (e.folder) continue;
    error = ZipReader::Inflate(*bytes, e, &data);
    if (!error.empty()) return error;
    std::wstring path = JoinPath(destFolder, e.name);
    platform::Status s = fs.WriteFile(path, data, false);
    if (!s.ok()) return L"Failed to write extracted file " + path + L" with error code " + Decimal(s.code()) + L".";
  }
  return L"";
}

}  // namespace corvex
