#include "platform/fake/fake_packages.h"

#ifndef _WIN32
#include <fcntl.h>
#include <mspack.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <libmsi.h>
#endif

#include "base/text.h"

namespace corvex::fake {

using platform::Error;
using platform::InstallerContents;
using platform::PackageEntry;
using platform::Result;
using platform::Status;
namespace package_err = platform::package_err;

#ifdef _WIN32

Result<std::vector<PackageEntry>> FakePackages::ListCabinet(const std::wstring&) {
  return Error{package_err::kNotSupported};
}
Status FakePackages::ExtractCabinet(const std::wstring&, const platform::PlaceEntry&) {
  return Error{package_err::kNotSupported};
}
Result<InstallerContents> FakePackages::ExtractInstallerStreams(const std::wstring&, const platform::PlaceEntry&) {
  return Error{package_err::kNotSupported};
}
Result<std::vector<PackageEntry>> ReadCabinetBytes(const std::string&, bool) {
  return Error{package_err::kNotSupported};
}

#else

namespace {

// libmspack reads and writes through this table only, so nothing touches
// the Linux disk: the cabinet is a string in memory (the fuzz target's) or
// a file of the fake read by ranges, as FDI reads one, and an entry's bytes
// collect in a string. Reading by ranges keeps a worker from copying a
// whole cabinet, twice, under the fake's one lock.
struct MemSystem {
  mspack_system base;
  const std::string* cabinet = nullptr;
  platform::File* file = nullptr;
  uint64_t fileSize = 0;
  uint32_t readError = 0;  // the first failed read's code
  // libmspack reads a cabinet's headers a few bytes at a time: small reads
  // are served from one range read ahead of them.
  std::string ahead;
  uint64_t aheadAt = 0;
  std::string* output = nullptr;
  size_t outputLimit = 0;
};

struct MemFile {
  MemSystem* in = nullptr;     // reading
  std::string* out = nullptr;  // writing
  size_t limit = 0;            // most bytes an entry may produce
  size_t pos = 0;
};

uint64_t InputSize(const MemSystem& sys) { return sys.file ? sys.fileSize : sys.cabinet->size(); }

mspack_file* MemOpen(mspack_system* self, const char* name, int mode) {
  auto* sys = reinterpret_cast<MemSystem*>(self);
  auto* f = new MemFile;
  if (mode == MSPACK_SYS_OPEN_READ && std::strcmp(name, "in") == 0 && (sys->cabinet || sys->file)) {
    f->in = sys;
  } else if (mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(name, "out") == 0 && sys->output) {
    f->out = sys->output;
    f->out->clear();
    f->limit = sys->outputLimit;
  } else {
    delete f;
    return nullptr;
  }
  return reinterpret_cast<mspack_file*>(f);
}

void MemClose(mspack_file* file) { delete reinterpret_cast<MemFile*>(file); }

int MemRead(mspack_file* file, void* buffer, int bytes) {
  auto* f = reinterpret_cast<MemFile*>(file);
  if (!f->in || bytes < 0) return -1;
  MemSystem& sys = *f->in;
  uint64_t size = InputSize(sys);
  size_t left = f->pos < size ? static_cast<size_t>(size - f->pos) : 0;
  size_t n = std::min(left, static_cast<size_t>(bytes));
  if (n == 0) return 0;
  if (sys.file) {
    constexpr size_t kAhead = 64 << 10;
    bool held = f->pos >= sys.aheadAt && f->pos + n <= sys.aheadAt + sys.ahead.size();
    if (!held) {
      auto got = sys.file->ReadAt(f->pos, std::max(n, kAhead));
      if (!got) {
        if (!sys.readError) sys.readError = got.code();
        return -1;
      }
      sys.ahead = std::move(*got);
      sys.aheadAt = f->pos;
    }
    // The file may have shrunk since its size was taken.
    size_t from = static_cast<size_t>(f->pos - sys.aheadAt);
    n = std::min(n, sys.ahead.size() - from);
    std::memcpy(buffer, sys.ahead.data() + from, n);
  } else {
    std::memcpy(buffer, sys.cabinet->data() + f->pos, n);
  }
  f->pos += n;
  return static_cast<int>(n);
}

int MemWrite(mspack_file* file, void* buffer, int bytes) {
  auto* f = reinterpret_cast<MemFile*>(file);
  if (!f->out || bytes < 0) return -1;
  // An entry never grows past the size its header announced.
  if (f->out->size() + static_cast<size_t>(bytes) > f->limit) return -1;
  f->out->append(static_cast<const char*>(buffer), static_cast<size_t>(bytes));
  return bytes;
}

int MemSeek(mspack_file* file, off_t offset, int mode) {
  auto* f = reinterpret_cast<MemFile*>(file);
  if (!f->in) return -1;
  const uint64_t size = InputSize(*f->in);
  off_t base = mode == MSPACK_SYS_SEEK_START ? 0
               : mode == MSPACK_SYS_SEEK_CUR ? static_cast<off_t>(f->pos)
                                             : static_cast<off_t>(size);
  off_t at = base + offset;
  if (at < 0 || static_cast<uint64_t>(at) > size) return -1;
  f->pos = static_cast<size_t>(at);
  return 0;
}

off_t MemTell(mspack_file* file) { return static_cast<off_t>(reinterpret_cast<MemFile*>(file)->pos); }

void MemMessage(mspack_file*, const char*, ...) {}
void* MemAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void MemFree(void* p) { std::free(p); }
void MemCopy(void* src, void* dest, size_t bytes) { std::memmove(dest, src, bytes); }

struct CabinetReader {
  MemSystem sys{};
  mscab_decompressor* cabd = nullptr;
  mscabd_cabinet* cab = nullptr;

  explicit CabinetReader(const std::string& bytes) {
    sys.cabinet = &bytes;
    Open();
  }
  CabinetReader(platform::File& file, uint64_t size) {
    sys.file = &file;
    sys.fileSize = size;
    Open();
  }
  void Open() {
    sys.base = mspack_system{MemOpen, MemClose, MemRead, MemWrite, MemSeek, MemTell,
                             MemMessage, MemAlloc, MemFree, MemCopy, nullptr};
    cabd = mspack_create_cab_decompressor(&sys.base);
    // Searching for a cabinet inside other data is for self-extractors;
    // a container we queue must be a cabinet from its first byte.
    if (cabd) cab = cabd->open(cabd, "in");
  }
  // A cabinet that could not be read fails with the read's code, one that
  // does not decode with ERROR_INVALID_DATA.
  platform::Error Failure() const { return Error{sys.readError ? sys.readError : package_err::kCorrupt}; }
  ~CabinetReader() {
    if (cab) cabd->close(cabd, cab);
    if (cabd) mspack_destroy_cab_decompressor(cabd);
  }
  bool ok() const { return cab != nullptr; }

  static std::wstring Name(const mscabd_file* f) {
    std::string raw = f->filename ? f->filename : "";
    return (f->attribs & MSCAB_ATTRIB_UTF_NAME) ? FromUtf8(raw) : FromLatin1(raw);
  }

  std::vector<PackageEntry> Entries() const {
    std::vector<PackageEntry> out;
    for (const mscabd_file* f = cab->files; f; f = f->next)
      out.push_back({Name(f), static_cast<uint64_t>(f->length)});
    return out;
  }

  // One entry's bytes; false when its data does not decode.
  bool Extract(mscabd_file* f, std::string& bytes) {
    sys.output = &bytes;
    sys.outputLimit = f->length;
    // The length is the one the caller accepted (or the reader capped).
    bytes.reserve(f->length);
    int rc = cabd->extract(cabd, f, "out");
    sys.output = nullptr;
    return rc == MSPACK_ERR_OK && bytes.size() == f->length;
  }
};

bool SelfTestPasses() {
  int result = 0;
  MSPACK_SYS_SELFTEST(result);
  return result == MSPACK_ERR_OK;
}

}  // namespace

Result<std::vector<PackageEntry>> ReadCabinetBytes(const std::string& cabinet, bool extract) {
  if (!SelfTestPasses()) return Error{package_err::kNotSupported};
  CabinetReader reader(cabinet);
  if (!reader.ok()) return Error{package_err::kCorrupt};
  if (extract) {
    std::string bytes;
    // A few bytes of LZX can announce gigabytes; the fuzz target needs
    // the decoders exercised, not memory exhausted.
    constexpr unsigned kLargest = 16u << 20;
    for (mscabd_file* f = reader.cab->files; f; f = f->next)
      if (f->length <= kLargest && !reader.Extract(f, bytes)) return Error{package_err::kCorrupt};
  }
  return reader.Entries();
}

namespace {

// Opened as the Windows reader opens it: shared with other readers only.
Result<std::unique_ptr<platform::File>> OpenCabinet(platform::FileSystem& fs, const std::wstring& cabinet,
                                                    uint64_t& size) {
  auto file = fs.Open(cabinet, platform::access::kRead, platform::share::kRead, platform::Disposition::kOpenExisting);
  if (!file) return Error{file.code()};
  auto length = (*file)->Size();
  if (!length) return Error{length.code()};
  size = *length;
  return file;
}

}  // namespace

Result<std::vector<PackageEntry>> FakePackages::ListCabinet(const std::wstring& cabinet) {
  if (!SelfTestPasses()) return Error{package_err::kNotSupported};
  uint64_t size = 0;
  auto file = OpenCabinet(fs_, cabinet, size);
  if (!file) return Error{file.code()};
  CabinetReader reader(**file, size);
  if (!reader.ok()) return reader.Failure();
  return reader.Entries();
}

Status FakePackages::ExtractCabinet(const std::wstring& cabinet, const platform::PlaceEntry& place) {
  if (!SelfTestPasses()) return Error{package_err::kNotSupported};
  uint64_t size = 0;
  auto file = OpenCabinet(fs_, cabinet, size);
  if (!file) return file.status();
  CabinetReader reader(**file, size);
  if (!reader.ok()) return reader.Failure();
  std::string data;
  for (mscabd_file* f = reader.cab->files; f; f = f->next) {
    std::wstring to = place({CabinetReader::Name(f), static_cast<uint64_t>(f->length)});
    if (to.empty()) continue;
    if (!reader.Extract(f, data)) return reader.Failure();
    if (Status st = fs_.WriteFile(to, data, false); !st) return st;
  }
  return Status::Ok();
}

namespace {

// libmsi opens a path, so the fake's bytes go to a private temporary file
// for as long as the database is open.
class TempCopy {
 public:
  explicit TempCopy(const std::string& bytes) {
    char name[] = "/tmp/corvex-msi-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return;
    path_ = name;
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::close(fd);
    ok_ = done == bytes.size();
  }
  ~TempCopy() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
};

template <class T>
struct GUnref {
  void operator()(T* p) const {
    if (p) g_object_unref(p);
  }
};
template <class T>
using GPtr = std::unique_ptr<T, GUnref<T>>;

void Drop(GError*& e) {
  if (e) g_error_free(e);
  e = nullptr;
}

// Rows of a one-table query, each handed to `row`; false when the query
// could not run.
template <class Row>
bool EachRow(LibmsiDatabase* db, const char* sql, Row row) {
  GError* e = nullptr;
  GPtr<LibmsiQuery> q(libmsi_query_new(db, sql, &e));
  if (!q) return Drop(e), false;
  if (!libmsi_query_execute(q.get(), nullptr, &e)) return Drop(e), false;
  for (;;) {
    GPtr<LibmsiRecord> rec(libmsi_query_fetch(q.get(), &e));
    if (!rec) break;
    if (!row(rec.get())) return false;
  }
  // The last row is followed by no record and no error.
  bool ended = !e;
  Drop(e);
  return ended;
}

std::wstring FieldText(LibmsiRecord* rec, unsigned field) {
  gchar* s = libmsi_record_get_string(rec, field);
  std::wstring out = s ? FromUtf8(s) : std::wstring();
  g_free(s);
  return out;
}

}  // namespace

Result<InstallerContents> FakePackages::ExtractInstallerStreams(const std::wstring& database,
                                                                const platform::PlaceEntry& place) {
  auto bytes = fs_.ReadFile(database);
  if (!bytes) return Error{bytes.code()};
  TempCopy copy(*bytes);
  if (!copy.ok()) return Error{platform::err::kWriteFault};
  GError* e = nullptr;
  GPtr<LibmsiDatabase> db(libmsi_database_new(copy.path().c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &e));
  Drop(e);
  if (!db) return Error{package_err::kCorrupt};

  InstallerContents contents;
  Status failed;
  bool ran = EachRow(db.get(), "SELECT `Name`, `Data` FROM `_Streams`", [&](LibmsiRecord* rec) {
    std::wstring name = FieldText(rec, 1);
    GPtr<GInputStream> in(libmsi_record_get_stream(rec, 2));
    if (!in) {
      failed = Error{package_err::kCorrupt};
      return false;
    }
    std::string data;
    char buf[65536];
    for (;;) {
      gssize n = g_input_stream_read(in.get(), buf, sizeof buf, nullptr, &e);
      if (n < 0) {
        Drop(e);
        failed = Error{package_err::kCorrupt};
        return false;
      }
      if (n == 0) break;
      data.append(buf, static_cast<size_t>(n));
    }
    if (data.compare(0, 4, "MSCF") == 0) name += L".cab";
    std::wstring to = place({name, data.size()});
    if (to.empty()) return true;
    if (Status st = fs_.WriteFile(to, data, false); !st) {
      failed = st;
      return false;
    }
    contents.written.push_back(to);
    return true;
  });
  if (!failed) return Error{failed.code()};
  if (!ran) return Error{package_err::kCorrupt};
  // A database without storages has no `_Storages` rows; the query may
  // also fail when the table is absent, which means the same.
  EachRow(db.get(), "SELECT `Name` FROM `_Storages`", [&](LibmsiRecord* rec) {
    contents.storagesNotRead.push_back(FieldText(rec, 1));
    return true;
  });
  return contents;
}

#endif

}  // namespace corvex::fake
