#include "online/zip_writer.h"

#include <zlib.h>

#include <algorithm>

#include "base/path.h"
#include "base/text.h"
#include "script/zip_reader.h"

namespace corvex {

namespace {

using platform::Error;
using platform::Status;

constexpr uint32_t kLocalSig = 0x04034b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kDescriptorSig = 0x08074b50;
constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kEnd64Sig = 0x06064b50;
constexpr uint32_t kLocator64Sig = 0x07064b50;
constexpr uint16_t kFlagDescriptor = 0x0008;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kVersion20 = 20;
constexpr uint16_t kVersion45 = 45;
constexpr uint32_t kMax32 = 0xFFFFFFFF;
constexpr uint16_t kMax16 = 0xFFFF;
// Deflate can make data a little larger; from this size on an entry gets a
// ZIP64 local header, whatever its compressed size turns out to be.
constexpr uint64_t kZip64EntryFrom = 0xF0000000;
constexpr size_t kBlock = 1u << 20;
constexpr size_t kOutBlock = 256u << 10;
constexpr uint32_t kInvalidData = 13;  // ERROR_INVALID_DATA

void Put16(std::string& b, uint32_t v) {
  b.push_back(static_cast<char>(v & 0xFF));
  b.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
void Put64(std::string& b, uint64_t v) {
  Put32(b, static_cast<uint32_t>(v));
  Put32(b, static_cast<uint32_t>(v >> 32));
}
uint16_t Get16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
uint32_t Get32(const std::string& b, size_t at) { return Get16(b, at) | static_cast<uint32_t>(Get16(b, at + 2)) << 16; }
uint64_t Get64(const std::string& b, size_t at) { return Get32(b, at) | static_cast<uint64_t>(Get32(b, at + 4)) << 32; }

uint32_t DosTime(const platform::LocalTime& t) {
  // DOS dates start in 1980; a clock before that (or unset) gets its start.
  if (t.year < 1980 || t.year > 2107) return (1u << 21) | (1u << 16);
  uint32_t date = static_cast<uint32_t>((t.year - 1980) << 9 | t.month << 5 | t.day);
  uint32_t time = static_cast<uint32_t>(t.hour << 11 | t.minute << 5 | t.second / 2);
  return date << 16 | time;
}

// The name as stored: "/" between parts, a folder's ending in "/".
std::string StoredName(const std::wstring& name, bool folder, bool* utf8) {
  std::wstring n = ReplaceAll(name, L"\\", L"/");
  while (!n.empty() && n.back() == L'/') n.pop_back();
  *utf8 = std::any_of(n.begin(), n.end(), [](wchar_t c) { return c > 0x7E; });
  std::string out = ToUtf8(n);
  if (folder) out.push_back('/');
  return out;
}

// How names are compared: one separator, no trailing one, any case.
std::wstring NameKey(std::wstring name) {
  name = ToLower(ReplaceAll(name, L"/", L"\\"));
  while (!name.empty() && name.back() == L'\\') name.pop_back();
  return name;
}

bool ValidName(const std::wstring& name) {
  std::wstring key = NameKey(name);
  return !key.empty() && IsSafeZipEntryName(key);
}

struct Directory {
  uint64_t offset = 0, size = 0, count = 0;
};

// The end record, and the ZIP64 one when the end record defers to it. The
// directory must end where those records begin: data in front of the
// archive or between would make copied offsets wrong.
bool ReadDirectory(platform::File& file, uint64_t fileSize, Directory* d) {
  if (fileSize < kEmptyZipSize) return false;
  uint64_t tailSize = std::min<uint64_t>(fileSize, kEmptyZipSize + 0xFFFF);
  auto tail = file.ReadAt(fileSize - tailSize, static_cast<size_t>(tailSize));
  if (!tail.ok() || tail->size() != tailSize) return false;
  const std::string& t = *tail;
  for (size_t p = t.size() - kEmptyZipSize + 1; p-- > 0;) {
    if (Get32(t, p) != kEndSig || p + kEmptyZipSize + Get16(t, p + 20) != t.size()) continue;
    uint64_t recordPos = fileSize - tailSize + p;
    d->count = Get16(t, p + 10);
    d->size = Get32(t, p + 12);
    d->offset = Get32(t, p + 16);
    if (d->count == kMax16 || d->size == kMax32 || d->offset == kMax32) {
      if (recordPos < 20) return false;
      auto locator = file.ReadAt(recordPos - 20, 20);
      if (!locator.ok() || locator->size() != 20 || Get32(*locator, 0) != kLocator64Sig) return false;
      uint64_t end64 = Get64(*locator, 8);
      auto record = file.ReadAt(end64, 56);
      if (!record.ok() || record->size() != 56 || Get32(*record, 0) != kEnd64Sig) return false;
      d->count = Get64(*record, 32);
      d->size = Get64(*record, 40);
      d->offset = Get64(*record, 48);
      recordPos = end64;
    }
    return d->offset <= recordPos && d->size == recordPos - d->offset;
  }
  return false;
}

}  // namespace

std::string EmptyZipRecord() {
  std::string record;
  Put32(record, kEndSig);
  record.append(kEmptyZipSize - 4, '\0');
  return record;
}

ZipWriter::ZipWriter(platform::FileSystem& fs, std::wstring zipPath, uint32_t dosTime)
    : fs_(fs), zipPath_(std::move(zipPath)), tempPath_(zipPath_ + L".new"), dosTime_(dosTime) {}

ZipWriter::~ZipWriter() {
  old_.reset();
  out_.reset();
  if (!committed_) fs_.DeleteFile(tempPath_);
}

platform::Result<std::unique_ptr<ZipWriter>> ZipWriter::Open(platform::FileSystem& fs, const std::wstring& zipPath,
                                                             const platform::LocalTime& when) {
  std::unique_ptr<ZipWriter> w(new ZipWriter(fs, zipPath, DosTime(when)));
  auto existing = fs.Open(zipPath, platform::access::kRead, platform::share::kRead,
                          platform::Disposition::kOpenExisting);
  if (!existing.ok() && existing.code() != platform::err::kFileNotFound) return Error{existing.code()};
  if (existing.ok()) {
    w->old_ = std::move(*existing);
    auto size = w->old_->Size();
    if (!size.ok()) return Error{size.code()};
    Directory d;
    if (!ReadDirectory(*w->old_, *size, &d)) return Error{kInvalidData};
    ZipReader reader(*w->old_, StripLongPathPrefix(zipPath));
    ZipListing listing = reader.Parse();
    if (!listing.error.empty() || listing.entries.size() != d.count) return Error{kInvalidData};
    for (const ZipEntry& e : listing.entries) w->names_.insert(NameKey(e.name));
    w->oldDirectoryOffset_ = d.offset;
    w->oldDirectorySize_ = d.size;
    w->oldCount_ = d.count;
  }
  auto out = fs.Open(w->tempPath_, platform::access::kWrite, platform::share::kNone,
                     platform::Disposition::kCreateAlways);
  if (!out.ok()) return Error{out.code()};
  w->out_ = std::move(*out);
  // The entries stay where they are; the old directory is copied behind
  // the new entries at Commit.
  for (uint64_t at = 0; at < w->oldDirectoryOffset_;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, w->oldDirectoryOffset_ - at));
    auto block = w->old_->ReadAt(at, want);
    if (!block.ok()) return Error{block.code()};
    if (block->size() != want) return Error{kInvalidData};
    Status wrote = w->Write(*block);
    if (!wrote.ok()) return Error{wrote.code()};
    at += want;
  }
  return w;
}

bool ZipWriter::Contains(const std::wstring& name) const { return names_.count(NameKey(name)) != 0; }

Status ZipWriter::Write(const std::string& bytes) {
  if (bytes.empty()) return Status::Ok();
  Status wrote = out_->Append(bytes);
  if (wrote.ok()) offset_ += bytes.size();
  return wrote;
}

Status ZipWriter::Reserve(const std::wstring& name) {
  if (!out_ || committed_) return Error{platform::err::kInvalidHandle};
  if (!ValidName(name)) return Error{platform::err::kInvalidName};
  if (Contains(name)) return Error{platform::err::kAlreadyExists};
  return Status::Ok();
}

Status ZipWriter::AddFolder(const std::wstring& name) {
  Status ok = Reserve(name);
  if (!ok.ok()) return ok;
  Added a;
  bool utf8 = false;
  a.name = StoredName(name, true, &utf8);
  a.flags = utf8 ? kFlagUtf8 : 0;
  a.offset = offset_;
  a.attributes = platform::attr::kDirectory;
  std::string h;
  Put32(h, kLocalSig);
  Put16(h, kVersion20);
  Put16(h, a.flags);
  Put16(h, 0);  // stored
  Put32(h, dosTime_);
  Put32(h, 0);
  Put32(h, 0);
  Put32(h, 0);
  Put16(h, static_cast<uint32_t>(a.name.size()));
  Put16(h, 0);
  h += a.name;
  Status wrote = Write(h);
  if (!wrote.ok()) return wrote;
  names_.insert(NameKey(name));
  added_.push_back(std::move(a));
  return Status::Ok();
}

Status ZipWriter::AddFile(const std::wstring& source, const std::wstring& name) {
  Status ok = Reserve(name);
  if (!ok.ok()) return ok;
  auto in = fs_.Open(source, platform::access::kRead, platform::share::kRead | platform::share::kWrite,
                     platform::Disposition::kOpenExisting);
  if (!in.ok()) return Error{in.code()};
  auto size = (*in)->Size();
  if (!size.ok()) return Error{size.code()};
  // A log still being written may grow: what was there at the start is taken.
  const uint64_t total = *size;
  const bool zip64 = total >= kZip64EntryFrom;

  Added a;
  bool utf8 = false;
  a.name = StoredName(name, false, &utf8);
  a.flags = static_cast<uint16_t>(kFlagDescriptor | (utf8 ? kFlagUtf8 : 0));
  a.method = total == 0 ? 0 : 8;
  a.offset = offset_;
  a.attributes = platform::attr::kArchive;
  a.size = total;
  std::string h;
  Put32(h, kLocalSig);
  Put16(h, zip64 ? kVersion45 : kVersion20);
  Put16(h, a.flags);
  Put16(h, a.method);
  Put32(h, dosTime_);
  Put32(h, 0);  // CRC-32 and sizes follow the data
  Put32(h, zip64 ? kMax32 : 0);
  Put32(h, zip64 ? kMax32 : 0);
  Put16(h, static_cast<uint32_t>(a.name.size()));
  Put16(h, zip64 ? 20 : 0);
  h += a.name;
  if (zip64) {
    Put16(h, kZip64ExtraId);
    Put16(h, 16);
    Put64(h, 0);
    Put64(h, 0);
  }
  Status wrote = Write(h);
  if (!wrote.ok()) return wrote;
  const uint64_t dataStart = offset_;

  uLong crc = crc32(0L, Z_NULL, 0);
  if (total != 0) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      return Error{platform::err::kNotEnoughMemory};
    std::string out(kOutBlock, '\0');
    Status failed;
    uint64_t done = 0;
    bool finished = false;
    while (failed.ok() && !finished) {
      std::string block;
      if (done < total) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, total - done));
        auto read = (*in)->ReadAt(done, want);
        if (!read.ok()) {
          failed = Error{read.code()};
          break;
        }
        if (read->size() != want) {  // cut short under us
          failed = Error{kInvalidData};
          break;
        }
        block = std::move(*read);
        done += want;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(block.size()));
      }
      const int flush = done == total ? Z_FINISH : Z_NO_FLUSH;
      z.next_in = reinterpret_cast<Bytef*>(block.data());
      z.avail_in = static_cast<uInt>(block.size());
      do {
        z.next_out = reinterpret_cast<Bytef*>(&out[0]);
        z.avail_out = static_cast<uInt>(out.size());
        int rc = deflate(&z, flush);
        if (rc == Z_STREAM_ERROR) {
          failed = Error{kInvalidData};
          break;
        }
        failed = Write(out.substr(0, out.size() - z.avail_out));
        if (rc == Z_STREAM_END) finished = true;
      } while (failed.ok() && (z.avail_out == 0 || (flush == Z_FINISH && !finished)));
    }
    deflateEnd(&z);
    if (!failed.ok()) return failed;
  }
  a.crc = static_cast<uint32_t>(crc);
  a.compressedSize = offset_ - dataStart;
  std::string descriptor;
  Put32(descriptor, kDescriptorSig);
  Put32(descriptor, a.crc);
  if (zip64) {
    Put64(descriptor, a.compressedSize);
    Put64(descriptor, a.size);
  } else {
    Put32(descriptor, static_cast<uint32_t>(a.compressedSize));
    Put32(descriptor, static_cast<uint32_t>(a.size));
  }
  wrote = Write(descriptor);
  if (!wrote.ok()) return wrote;
  names_.insert(NameKey(name));
  added_.push_back(std::move(a));
  return Status::Ok();
}

Status ZipWriter::Commit() {
  if (!out_ || committed_) return Error{platform::err::kInvalidHandle};
  const uint64_t directoryStart = offset_;
  for (uint64_t at = 0; at < oldDirectorySize_;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, oldDirectorySize_ - at));
    auto block = old_->ReadAt(oldDirectoryOffset_ + at, want);
    if (!block.ok()) return Error{block.code()};
    if (block->size() != want) return Error{kInvalidData};
    Status wrote = Write(*block);
    if (!wrote.ok()) return wrote;
    at += want;
  }
  std::string records;
  for (const Added& a : added_) {
    std::string extra;
    if (a.size >= kMax32) Put64(extra, a.size);
    if (a.compressedSize >= kMax32) Put64(extra, a.compressedSize);
    if (a.offset >= kMax32) Put64(extra, a.offset);
    const bool zip64 = !extra.empty();
    Put32(records, kCentralSig);
    Put16(records, kVersion45);  // made on a DOS-attribute host
    Put16(records, zip64 ? kVersion45 : kVersion20);
    Put16(records, a.flags);
    Put16(records, a.method);
    Put32(records, dosTime_);
    Put32(records, a.crc);
    Put32(records, a.compressedSize >= kMax32 ? kMax32 : static_cast<uint32_t>(a.compressedSize));
    Put32(records, a.size >= kMax32 ? kMax32 : static_cast<uint32_t>(a.size));
    Put16(records, static_cast<uint32_t>(a.name.size()));
    Put16(records, zip64 ? static_cast<uint32_t>(extra.size() + 4) : 0);
    Put16(records, 0);  // comment
    Put16(records, 0);  // disk
    Put16(records, 0);  // internal attributes
    Put32(records, a.attributes);
    Put32(records, a.offset >= kMax32 ? kMax32 : static_cast<uint32_t>(a.offset));
    records += a.name;
    if (zip64) {
      Put16(records, kZip64ExtraId);
      Put16(records, static_cast<uint32_t>(extra.size()));
      records += extra;
    }
    if (records.size() >= kBlock) {
      Status wrote = Write(records);
      if (!wrote.ok()) return wrote;
      records.clear();
    }
  }
  Status wrote = Write(records);
  if (!wrote.ok()) return wrote;
  const uint64_t count = oldCount_ + added_.size();
  const uint64_t directorySize = offset_ - directoryStart;
  std::string end;
  if (count >= kMax16 || directoryStart >= kMax32 || directorySize >= kMax32) {
    const uint64_t end64 = offset_;
    Put32(end, kEnd64Sig);
    Put64(end, 44);
    Put16(end, kVersion45);
    Put16(end, kVersion45);
    Put32(end, 0);
    Put32(end, 0);
    Put64(end, count);
    Put64(end, count);
    Put64(end, directorySize);
    Put64(end, directoryStart);
    Put32(end, kLocator64Sig);
    Put32(end, 0);
    Put64(end, end64);
    Put32(end, 1);
  }
  Put32(end, kEndSig);
  Put16(end, 0);
  Put16(end, 0);
  const uint32_t count16 = count >= kMax16 ? kMax16 : static_cast<uint32_t>(count);
  Put16(end, count16);
  Put16(end, count16);
  Put32(end, directorySize >= kMax32 ? kMax32 : static_cast<uint32_t>(directorySize));
  Put32(end, directoryStart >= kMax32 ? kMax32 : static_cast<uint32_t>(directoryStart));
  Put16(end, 0);
  wrote = Write(end);
  if (wrote.ok()) wrote = out_->Flush();
  if (!wrote.ok()) return wrote;
  out_.reset();
  old_.reset();  // closed, or the archive could not be replaced
  wrote = fs_.MoveFile(tempPath_, zipPath_, true);
  if (!wrote.ok()) return wrote;
  committed_ = true;
  return Status::Ok();
}

namespace {

// Everything below `folder` as entries under `name`. Junctions are not
// followed: they can lead back up the tree. The first failure to read a
// file is kept and the walk goes on.
Status AddTree(platform::FileSystem& fs, ZipWriter& w, const std::wstring& folder, const std::wstring& name,
               Status* firstSkipped) {
  auto found = fs.Find(folder + L"\\*");
  if (!found.ok()) {
    if (found.code() == platform::err::kFileNotFound) return Status::Ok();  // empty
    return Error{found.code()};
  }
  for (const platform::FindEntry& e : *found) {
    if (e.name == L"." || e.name == L"..") continue;
    const std::wstring path = folder + L"\\" + e.name;
    const std::wstring entry = name + L"\\" + e.name;
    if (e.attributes & platform::attr::kDirectory) {
      if (e.attributes & platform::attr::kReparsePoint) continue;
      Status added = w.AddFolder(entry);
      if (!added.ok()) return added;
      added = AddTree(fs, w, path, entry, firstSkipped);
      if (!added.ok()) return added;
      continue;
    }
    Status added = w.AddFile(path, entry);
    if (added.ok()) continue;
    if (added.code() == platform::err::kAlreadyExists || added.code() == platform::err::kInvalidName) return added;
    if (firstSkipped->ok()) *firstSkipped = added;
  }
  return Status::Ok();
}

}  // namespace

Status AddPathToZip(platform::FileSystem& fs, const std::wstring& zipPath, const std::wstring& source,
                    const platform::LocalTime& when) {
  auto attributes = fs.GetAttributes(source);
  if (!attributes.ok()) return Error{attributes.code()};
  const std::wstring name = PathLeafName(StripLongPathPrefix(source));
  auto writer = ZipWriter::Open(fs, zipPath, when);
  if (!writer.ok()) return Error{writer.code()};
  ZipWriter& w = **writer;
  Status skipped;
  Status added;
  if (*attributes & platform::attr::kDirectory) {
    added = w.AddFolder(name);
    if (added.ok()) added = AddTree(fs, w, source, name, &skipped);
  } else {
    added = w.AddFile(source, name);
  }
  if (added.ok()) added = w.Commit();
  if (!added.ok()) return added;
  return skipped;
}

}  // namespace corvex
