#include "script/zip_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>

#include "base/text.h"
#include "platform/fake/fake_windows.h"
#include "sample_files.h"
#include "script/script_loader.h"
#include "test_support.h"

// The largest single allocation made while a test watches, and a limit above
// which allocations fail, as they do in a crowded 32-bit process.
namespace {
std::atomic<bool> gWatching{false};
std::atomic<size_t> gLargest{0};
std::atomic<size_t> gRefuseAbove{0};
}  // namespace

// Kept out of line: inlined, the compiler would see memory from operator new
// handed to free and take it for a mismatch.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (gWatching.load(std::memory_order_relaxed)) {
    size_t limit = gRefuseAbove.load();
    if (limit && n > limit) throw std::bad_alloc();
    size_t seen = gLargest.load();
    while (n > seen && !gLargest.compare_exchange_weak(seen, n)) {
    }
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The no-throw form too (std::stable_sort's buffer uses it): left to the
// sanitizer's own, its memory would reach the free above as a mismatch.
[[gnu::noinline]] void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace corvex {
namespace {

struct AllocationWatch {
  explicit AllocationWatch(size_t refuseAbove = 0) {
    gLargest = 0;
    gRefuseAbove = refuseAbove;
    gWatching = true;
  }
  ~AllocationWatch() {
    gWatching = false;
    gRefuseAbove = 0;
  }
  size_t largest() const { return gLargest; }
};

// Fixtures made by tests/samples/zips/make.sh; tree/ holds what they contain.
std::string Zip(const std::string& name) { return ReadSample("zips/" + name); }
std::string Tree(const std::string& relative) { return ReadSample("zips/tree/" + relative); }

const wchar_t kZip[] = L"C:\\in\\a.zip";
const std::string kDir = "<folder>";
using Files = std::map<std::wstring, std::string>;
using testing::Noise;

// The reader over an archive in a fresh fake, as ExtractZip opens it.
struct Opened {
  explicit Opened(const std::string& zip) {
    w.AddFile(kZip, zip);
    file = std::move(*w.platform().fs.Open(kZip, platform::access::kRead, platform::share::kRead,
                                           platform::Disposition::kOpenExisting));
    reader = std::make_unique<ZipReader>(*file, kZip);
  }
  fake::FakeWindows w;
  std::unique_ptr<platform::File> file;
  std::unique_ptr<ZipReader> reader;
};
ZipListing Parse(const std::string& zip) { return Opened(zip).reader->Parse(); }
// Locates and inflates one entry into `out`; `out` is empty on failure.
std::wstring InflateEntry(const std::string& zip, ZipEntry e, std::string* out) {
  Opened o(zip);
  out->clear();
  std::wstring error = o.reader->Locate(e);
  if (error.empty()) error = o.reader->Inflate(e, [&](const std::string& piece) {
    *out += piece;
    return std::wstring();
  });
  if (!error.empty()) out->clear();
  return error;
}

// Little-endian fields, written in place or appended.
// Fields wider than four bytes (up to eight) take zeros above the value.
void Put(std::string& s, size_t at, uint32_t v, int bytes) {
  const uint64_t wide = v;
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>(wide >> (8 * i));
}
void Append(std::string& s, uint32_t v, int bytes) {
  s.append(bytes, '\0');
  Put(s, s.size() - bytes, v, bytes);
}
uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

// Offsets of every central directory header, found by signature.
std::vector<size_t> CentralHeaders(const std::string& zip) {
  std::vector<size_t> out;
  for (size_t p = zip.find("PK\x01\x02"); p != std::string::npos; p = zip.find("PK\x01\x02", p + 1)) out.push_back(p);
  return out;
}
size_t EndRecord(const std::string& zip) { return zip.rfind("PK\x05\x06"); }
// A fixture with `bytes` bytes of `v` written at the offset `where` finds.
std::string Patched(const char* name, std::function<size_t(const std::string&)> where, uint32_t v, int bytes) {
  std::string zip = Zip(name);
  Put(zip, where(zip), v, bytes);
  return zip;
}
auto Central(size_t index, size_t field) {
  return [=](const std::string& z) { return CentralHeaders(z).at(index) + field; };
}
auto End(size_t field) {
  return [=](const std::string& z) { return EndRecord(z) + field; };
}

// A minimal archive writer for names and header values no zip tool would
// produce. The data goes in as given, whatever `method` says.
struct Item {
  std::string name, data;
  uint16_t flags = 0, method = 0;
  // For a deflated item: what `data` inflates to, for its CRC and size.
  std::string plain = "";
  // Declared size when not that of the data.
  uint32_t declaredSize = 0;
};
std::string CraftZip(const std::vector<Item>& items) {
  std::string out, central;
  for (const Item& it : items) {
    const std::string& plain = it.method == 8 ? it.plain : it.data;
    uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(plain.data()), static_cast<uInt>(plain.size()));
    uint32_t size = it.declaredSize ? it.declaredSize : static_cast<uint32_t>(plain.size());
    auto header = [&](std::string& s, bool isCentral, uint32_t offset) {
      Append(s, isCentral ? 0x02014b50 : 0x04034b50, 4);
      if (isCentral) Append(s, 20, 2);
      for (uint32_t v : {20u, uint32_t{it.flags}, uint32_t{it.method}}) Append(s, v, 2);
      for (uint32_t v : {0u, crc, static_cast<uint32_t>(it.data.size()), size}) Append(s, v, 4);  // time and date first
      for (uint32_t v : {static_cast<uint32_t>(it.name.size()), 0u}) Append(s, v, 2);  // name, extra field
      if (isCentral) {
        Append(s, 0, 6);  // comment, disk, internal attributes
        Append(s, 0, 4);  // external attributes
        Append(s, offset, 4);
      }
      s += it.name;
    };
    header(central, true, static_cast<uint32_t>(out.size()));
    header(out, false, 0);
    out += it.data;
  }
  uint32_t cdOffset = static_cast<uint32_t>(out.size());
  out += central;
  Append(out, 0x06054b50, 4);
  Append(out, 0, 4);  // disk numbers
  for (int i = 0; i < 2; ++i) Append(out, static_cast<uint32_t>(items.size()), 2);
  for (uint32_t v : {static_cast<uint32_t>(central.size()), cdOffset}) Append(out, v, 4);
  Append(out, 0, 2);
  return out;
}

// Raw deflate, as zip entries hold it.
std::string Deflate(const std::string& plain) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, static_cast<uLong>(plain.size())), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  zs.avail_in = static_cast<uInt>(plain.size());
  zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// A fake machine that an archive is extracted on.
struct Machine {
  std::wstring Extract(const std::string& bytes, const std::wstring& dest = L"C:\\out") {
    before = Everything();
    w.AddFile(kZip, bytes);
    return ExtractZip(w.platform().fs, kZip, dest);
  }
  // What is on drive C: and outside any drive that was not there before the
  // extraction, apart from the archive.
  std::vector<std::wstring> Written() const {
    std::vector<std::wstring> out;
    for (const std::wstring& p : Everything())
      if (!IEquals(p, L"C:\\in") && !IEquals(p, kZip) && !std::count(before.begin(), before.end(), p))
        out.push_back(p);
    std::sort(out.begin(), out.end());
    return out;
  }
  std::vector<std::wstring> Everything() const {
    std::vector<std::wstring> all = w.ListTree(L"C:"), outside = w.ListTree(L"");
    all.insert(all.end(), outside.begin(), outside.end());
    return all;
  }
  // Everything below `root` by its path relative to it: bytes, or kDir.
  Files Contents(const std::wstring& root) const {
    Files out;
    for (const std::wstring& p : w.ListTree(root)) out[p.substr(root.size() + 1)] = w.IsFolder(p) ? kDir : w.FileBytes(p);
    return out;
  }
  fake::FakeWindows w;
  std::vector<std::wstring> before;
};

struct ZipCase {
  const char* what;
  std::string zip;
  // For a failure: the error; ending in '*', its start; "*", any.
  std::wstring error;
  std::function<void(fake::FakeWindows&)> arm = nullptr;
  std::wstring dest = L"C:\\out";
  // For a success: all that is below the destination afterwards.
  Files out = {};
};

TEST(ZipExtract, ArchivesThatExtractHoldExactlyTheirEntries) {
  const std::string hello = Tree("hello.txt"), readme = Tree("docs/readme.txt");
  const Files two = {{L"hello.txt", hello}, {L"docs", kDir}, {L"docs\\readme.txt", readme}};
  Files stored = two, tree, deflated, kept;
  stored[L"empty.txt"] = "";
  tree = stored;
  tree[L"docs\\deep"] = tree[L"docs\\deep\\nested"] = kDir;
  tree[L"docs\\deep\\nested\\data.bin"] = Tree("docs/deep/nested/data.bin");
  deflated = tree;
  deflated[L"docs\\empty_dir"] = kDir;
  kept = stored;
  kept[L"other.txt"] = "untouched";
  const std::wstring unicode = FromUtf8("\xC3\x9Cn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9");
  const Files utf8 = {{unicode, kDir},
                      {unicode + L"\\" + FromUtf8("na\xC3\xAFve \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt"), hello},
                      // Outside the 16-bit range: a surrogate pair on Windows.
                      {FromUtf8("\xF0\x9F\x98\x80.txt"), readme}};

  // The fixtures use the features they are named for: data descriptors, and
  // a classic end record and central header holding only ZIP64 markers.
  for (const ZipEntry& e : Parse(Zip("zip_stream.zip")).entries) ASSERT_TRUE(e.flags & 0x0008);
  const std::string zip64 = Zip("py_zip64_full.zip");
  ASSERT_EQ(zip64.substr(EndRecord(zip64) + 8, 12), std::string(12, '\xFF'));
  ASSERT_EQ(Get32(zip64, CentralHeaders(zip64).at(1) + 42), 0xFFFFFFFFu);
  ASSERT_EQ(Zip("py_empty.zip").size(), 22u);
  std::string dosFolder = CraftZip({{"dir", ""}, {"dir/x.txt", "x"}});
  Put(dosFolder, CentralHeaders(dosFolder).at(0) + 38, 0x10, 4);  // made by DOS (host 0), directory attribute

  const ZipCase cases[] = {
      {"stored", Zip("py_stored.zip"), L"", nullptr, L"C:\\out", stored},
      {"deflated, nested, an empty folder entry", Zip("py_deflated.zip"), L"", nullptr, L"C:\\out", deflated},
      {"zip command: comment and folder entries", Zip("zip_cli.zip"), L"", nullptr, L"C:\\out", tree},
      {"streamed with data descriptors", Zip("zip_stream.zip"), L"", nullptr, L"C:\\out", two},
      {"UTF-8 flagged names", Zip("py_utf8.zip"), L"", nullptr, L"C:\\out", utf8},
      {"folder only", Zip("py_folder_only.zip"), L"", nullptr, L"C:\\out", {{L"only_folder", kDir}}},
      {"no entries", Zip("py_empty.zip"), L"", nullptr, L"C:\\out", {}},
      {"ZIP64 extra fields in local headers", Zip("py_zip64_local.zip"), L"", nullptr, L"C:\\out", two},
      {"ZIP64 end records and central extra fields", zip64, L"", nullptr, L"C:\\out", two},
      {"a comment holding the end signature", Zip("py_comment_trap.zip"), L"", nullptr, L"C:\\out",
       {{L"hello.txt", hello}}},
      {"data in front", "MZ" + std::string(1000, '\x90') + Zip("py_deflated.zip"), L"", nullptr, L"C:\\out", deflated},
      {"data in front of ZIP64", std::string(300, 'j') + zip64, L"", nullptr, L"C:\\out", two},
      {"missing destination parents", Zip("py_stored.zip"), L"", nullptr, L"C:\\a\\b\\c", stored},
      {"destination with a trailing backslash", Zip("py_stored.zip"), L"", nullptr, L"C:\\out\\", stored},
      {"existing folders kept, files replaced", Zip("py_stored.zip"), L"",
       [](fake::FakeWindows& w) {
         w.AddFile(L"C:\\out\\docs\\readme.txt", "old text");
         w.AddFile(L"C:\\out\\other.txt", "untouched");
       },
       L"C:\\out", kept},
      {"folder by DOS attribute without a trailing slash", dosFolder, L"", nullptr, L"C:\\out",
       {{L"dir", kDir}, {L"dir\\x.txt", "x"}}},
      {"entries named like the staging folder", CraftZip({{".extracting/a.txt", "a"}, {"b.txt", "b"}}), L"",
       [](fake::FakeWindows& w) { w.AddFile(L"C:\\out\\.extracting1", "in the way"); }, L"C:\\out",
       {{L".extracting", kDir}, {L".extracting\\a.txt", "a"}, {L".extracting1", "in the way"}, {L"b.txt", "b"}}},
  };
  for (const ZipCase& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    if (c.arm) c.arm(m.w);
    ASSERT_EQ(m.Extract(c.zip, c.dest), L"");
    std::wstring root = EndsWith(c.dest, L"\\") ? c.dest.substr(0, c.dest.size() - 1) : c.dest;
    EXPECT_EQ(m.Contents(root), c.out);
    for (const std::wstring& p : m.Written()) EXPECT_TRUE(IStartsWith(root, p) || IStartsWith(p, root)) << ToUtf8(p);
    EXPECT_TRUE(!c.out.empty() || m.Written().empty()) << "an empty archive makes no folder";
  }
}

TEST(ZipExtract, DamagedArchivesAndFailedCallsWriteNothing) {
  auto fault = [](fake::Op op, const wchar_t* path, uint32_t code) {
    return [=](fake::FakeWindows& w) { w.InjectFault(op, path, code); };
  };
  std::string middle = Zip("py_stored.zip");
  middle.erase(middle.find("Line 100"), 7);
  std::string flipped = Zip("py_stored.zip");
  flipped[flipped.find("Line 123")] ^= 0x20;
  std::string crc = Zip("py_stored.zip");
  crc[CentralHeaders(crc).at(0) + 16] ^= 0x01;
  std::string zip64 = Zip("py_zip64_full.zip");
  zip64[EndRecord(zip64) - 20 + 3] = 'X';  // the ZIP64 locator's signature
  const std::string noise = Noise(100000, 12345);
  ASSERT_EQ(noise.find("PK\x05\x06"), std::string::npos);
  const std::wstring readmeSize = L"Zip entry docs\\readme.txt does not have the size its header declares.";
  const std::wstring corrupt = L"The zip central directory is truncated or corrupt.";
  const uint32_t readmeDeclared = Get32(Zip("py_deflated.zip"), CentralHeaders(Zip("py_deflated.zip")).at(2) + 24);

  const ZipCase cases[] = {
      {"empty file", "", L"The zip file C:\\in\\a.zip is empty."},
      {"noise", noise, L"The file is not a zip archive."},
      {"a short end record", "PK\x05\x06 short", L"The file is not a zip archive."},
      {"bytes missing from the middle", middle, L"*"},
      {"ZIP64 markers without the ZIP64 records", zip64, corrupt},
      {"flipped CRC in the central directory", crc, L"Zip entry hello.txt failed its CRC-32 check."},
      {"flipped stored data byte", flipped, L"Zip entry docs\\readme.txt failed its CRC-32 check."},
      {"declared size one more", Patched("py_deflated.zip", Central(2, 24), readmeDeclared + 1, 4), readmeSize},
      {"declared size one less", Patched("py_deflated.zip", Central(2, 24), readmeDeclared - 1, 4), readmeSize},
      {"stored size not the data's", Patched("py_stored.zip", Central(0, 24), 12, 4),
       L"Zip entry hello.txt does not have the size its header declares."},
      {"impossible deflate ratio", Patched("py_deflated.zip", Central(0, 24), 0xFFFFFFF0u, 4),
       L"Zip entry hello.txt does not have the size its header declares."},
      {"unsupported method", Patched("py_stored.zip", Central(0, 10), 12, 2),
       L"Zip entry hello.txt uses unsupported compression method 12."},
      {"encrypted", Zip("zip_encrypted.zip"), L"Zip entry hello.txt is encrypted."},
      {"central directory out of range", Patched("py_stored.zip", End(16), 0x7FFFFFF0u, 4), corrupt},
      {"more entries counted than present", Patched("py_stored.zip", End(8), 0x00040004u, 4), corrupt},
      {"central header running past the directory", Patched("py_stored.zip", Central(2, 28), 200, 2), corrupt},
      {"local header offset pointing at data", Patched("py_stored.zip", Central(2, 42), 5, 4),
       L"The local header of zip entry docs\\readme.txt is truncated or corrupt."},
      {"compressed size past the end", Patched("py_deflated.zip", Central(3, 20), 0x00FFFFFFu, 4),
       L"The data of zip entry docs\\deep\\nested\\data.bin is truncated."},
      {"spanned", Patched("py_stored.zip", End(4), 1, 2), L"Zip archives split over several disks are not supported."},
      {"first write fails", Zip("py_stored.zip"),
       L"Failed to write extracted file C:\\out\\hello.txt with error code ERROR_ACCESS_DENIED.", fault(fake::Op::kWriteFile, L"", 5)},
      {"a later write fails", Zip("py_stored.zip"),
       L"Failed to write extracted file C:\\out\\docs\\readme.txt with error code 0x70.",
       fault(fake::Op::kWriteFile, L"readme", 112)},
      {"a folder cannot be made", Zip("py_stored.zip"), L"Failed to create folder C:\\out\\docs with error code ERROR_ACCESS_DENIED.",
       fault(fake::Op::kCreateFolder, L"docs", 5)},
      {"the destination cannot be made", Zip("py_stored.zip"), L"Failed to create folder C:\\out with error code 0x13.",
       fault(fake::Op::kCreateFolder, L"out", 19)},
      {"a file in the way of a folder", Zip("py_stored.zip"),
       L"Failed to write extracted file C:\\out\\docs\\readme.txt*",
       [](fake::FakeWindows& w) { w.AddFile(L"C:\\out\\docs", "a file, not a folder"); }},
      {"a failed move into place takes back what was moved", Zip("py_stored.zip"),
       L"Failed to write extracted file C:\\out\\docs\\readme.txt with error code ERROR_SHARING_VIOLATION.",
       fault(fake::Op::kMoveFile, L"readme", 32)},
  };
  for (const ZipCase& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    if (c.arm) c.arm(m.w);
    std::wstring error = m.Extract(c.zip, c.dest);
    if (EndsWith(c.error, L"*"))
      EXPECT_TRUE(!error.empty() && StartsWith(error, c.error.substr(0, c.error.size() - 1))) << ToUtf8(error);
    else
      EXPECT_EQ(error, c.error);
    EXPECT_EQ(m.Written(), std::vector<std::wstring>{});
  }
  Machine m;
  m.w.AddFolder(L"C:\\in");
  EXPECT_EQ(ExtractZip(m.w.platform().fs, L"C:\\in\\missing.zip", L"C:\\out"),
            L"Failed to read zip file C:\\in\\missing.zip with error code ERROR_FILE_NOT_FOUND.");
}

TEST(ZipExtract, UnflaggedNamesAreCodePage437) {
  // The entry's data is its own name as python's cp437 codec decodes it.
  std::string zip = Zip("cp437.zip");
  ZipListing listing = Parse(zip);
  ASSERT_EQ(listing.error, L"");
  ASSERT_EQ(listing.entries.size(), 1u);
  const ZipEntry& e = listing.entries[0];
  EXPECT_FALSE(e.flags & 0x0800);
  std::string data;
  ASSERT_EQ(InflateEntry(zip, e, &data), L"");
  EXPECT_EQ(e.name, FromUtf8(data));
  Machine m;
  ASSERT_EQ(m.Extract(zip), L"");
  EXPECT_EQ(m.Contents(L"C:\\out"), (Files{{e.name, data}}));
}

TEST(ZipExtract, UnsafeNamesAreRefusedBeforeAnythingIsWritten) {
  for (const char* fixture :
       {"evil_dotdot.zip", "evil_nested_dotdot.zip", "evil_abs.zip", "evil_drive.zip", "evil_unc.zip"}) {
    Machine m;
    std::wstring error = m.Extract(Zip(fixture));
    EXPECT_TRUE(StartsWith(error, L"Refused the zip archive because entry ") &&
                EndsWith(error, L" has an unsafe name."))
        << fixture << ": " << ToUtf8(error);
    EXPECT_TRUE(m.Written().empty()) << fixture;
  }
  EXPECT_EQ(Machine().Extract(Zip("evil_dotdot.zip")),
            L"Refused the zip archive because entry ..\\evil.txt has an unsafe name.");

  for (const std::string& name : std::vector<std::string>{
           "../x.txt", "a/../../x.txt", "a/..", "..", "/x.txt", "\\x.txt", "//server/share/x.txt",
        "\\\\server\\share\\x.txt", "C:x.txt", "C:/x.txt", "c:\\x.txt", "a//b.txt", "./x.txt", "a/./b.txt",
        ".../x.txt", ". ./x.txt", "a\\..\\..\\x.txt", std::string("a\0b.txt", 7), "a\x01" "b.txt", "a\tb.txt",
        "x.txt:hidden", "a*.txt", "a?.txt", "a|b", "a<b", "a\"b", "", "/", "NUL", "nul.txt", "sub/CON", "com1.log",
        "LPT9", "aux .txt", "CONOUT$",
        // An overlong '/' decoded leniently must still be caught.
        "..\xC0\xAFx.txt"}) {
    Machine m;
    std::wstring error = m.Extract(CraftZip({{"first.txt", "data"}, {name, "evil", 0x0800}}));
    EXPECT_TRUE(StartsWith(error, L"Refused the zip archive")) << ::testing::PrintToString(name);
    EXPECT_TRUE(m.Written().empty()) << ::testing::PrintToString(name);
  }
  for (const wchar_t* name : {L"a.txt", L"a\\b\\c.txt", L"..a", L"a..b", L"a\\..b\\c", L"file.", L"x .txt",
                              L"console.txt", L"COM10", L"LPT", L"nulled", L"con-fig.ini", L"$x"})
    EXPECT_TRUE(IsSafeZipEntryName(name)) << ToUtf8(name);
  EXPECT_TRUE(IsSafeZipEntryName(FromUtf8("\xE6\x97\xA5\xE6\x9C\xAC\\\xF0\x9F\x98\x80.txt")));
  EXPECT_FALSE(IsSafeZipEntryName(L"COM\u00B9"));
  EXPECT_FALSE(IsSafeZipEntryName(L"a\\b/..\\..\\c"));
}

// --- Damage at every byte and every read -------------------------------------

TEST(ZipExtract, AFailedReadAtAnyPointWritesNothing) {
  int failed = 0;
  for (int skip = 0; skip < 12; ++skip) {
    Machine m;
    m.w.InjectFault(fake::Op::kReadFile, L"a.zip", 32, 1, skip);
    std::wstring error = m.Extract(Zip("py_stored.zip"));
    if (error.empty()) continue;
    ++failed;
    EXPECT_EQ(error, L"Failed to read zip file C:\\in\\a.zip with error code ERROR_SHARING_VIOLATION.") << skip;
    EXPECT_TRUE(m.Written().empty()) << skip;
  }
  // The end record, each local header and the data of each non-empty entry.
  EXPECT_GE(failed, 5);
}

TEST(ZipExtract, EveryTruncationFailsAndWritesNothing) {
  for (const char* name : {"py_zip64_full.zip", "zip_stream.zip", "py_utf8.zip", "cp437.zip"}) {
    std::string zip = Zip(name);
    for (size_t cut = 1; cut < zip.size(); ++cut) {
      Machine m;
      EXPECT_NE(m.Extract(zip.substr(0, cut)), L"") << name << " cut at " << cut;
      EXPECT_FALSE(m.w.Exists(L"C:\\out")) << name << " cut at " << cut;
    }
  }
}

TEST(ZipExtract, FlippedDeflatedDataByteIsCaught) {
  // Flip a bit in every byte of the deflated readme. Only padding bits after
  // the last block can change without effect; every other flip must be caught.
  std::string zip = Zip("py_utf8.zip");
  ZipListing listing = Parse(zip);
  ASSERT_EQ(listing.error, L"");
  const ZipEntry& readme = listing.entries.at(1);
  ASSERT_EQ(readme.method, 8);
  std::string original = Tree("docs/readme.txt");
  size_t lh = static_cast<size_t>(readme.localHeaderOffset);
  size_t data = lh + 30 + (Get32(zip, lh + 26) & 0xFFFF) + (Get32(zip, lh + 26) >> 16);
  size_t caught = 0, badData = 0;
  for (size_t i = data; i < data + readme.compressedSize; ++i) {
    std::string copy = zip, out;
    copy[i] ^= 0x10;
    std::wstring error = InflateEntry(copy, readme, &out);
    if (error.empty()) {
      EXPECT_EQ(out, original) << "flip at " << i;
      continue;
    }
    ++caught;
    badData += EndsWith(error, L"holds bad deflate data.");
    EXPECT_TRUE(EndsWith(error, L"holds bad deflate data.") || EndsWith(error, L"failed its CRC-32 check.") ||
                EndsWith(error, L"does not have the size its header declares."))
        << ToUtf8(error);
  }
  EXPECT_GE(caught + 1, readme.compressedSize);
  EXPECT_GT(badData, 0u);
}

TEST(ZipExtract, ByteFlipsEitherFailCleanlyOrExtractTheSameData) {
  std::string zip = Zip("py_zip64_full.zip");
  std::vector<std::string> contents = {Tree("hello.txt"), Tree("docs/readme.txt"), kDir};
  int failures = 0;
  for (size_t i = 0; i < zip.size(); ++i) {
    std::string copy = zip;
    copy[i] ^= 0x41;
    Machine m;
    if (!m.Extract(copy).empty()) {
      ++failures;
      EXPECT_FALSE(m.w.Exists(L"C:\\out")) << "flip at " << i;
      continue;
    }
    for (auto& [path, bytes] : m.Contents(L"C:\\out"))
      EXPECT_NE(std::find(contents.begin(), contents.end(), bytes), contents.end()) << i << ToUtf8(path);
  }
  // The data and every size, offset and signature are guarded.
  EXPECT_GT(failures, static_cast<int>(zip.size() / 2));
}

// --- Memory ------------------------------------------------------------------

TEST(ZipMemory, AnEntryIsInflatedInPiecesWhateverItsSize) {
  std::string block = Noise(4096, 7), plain;
  for (int i = 0; i < 2048; ++i) plain += block;  // 8 MiB
  Opened o(CraftZip({{"big.bin", Deflate(plain), 0, 8, plain}}));
  ZipListing listing = o.reader->Parse();
  ASSERT_EQ(listing.error, L"");
  ZipEntry e = listing.entries.at(0);
  uint64_t total = 0;
  size_t pieces = 0;
  AllocationWatch watch;
  ASSERT_EQ(o.reader->Locate(e), L"");
  ASSERT_EQ(o.reader->Inflate(e, [&](const std::string& piece) {
    EXPECT_LE(piece.size(), ZipReader::kPiece);
    total += piece.size();
    ++pieces;
    return std::wstring();
  }), L"");
  EXPECT_EQ(total, plain.size());
  EXPECT_EQ(pieces, 8u);
  EXPECT_LT(watch.largest(), 2 * ZipReader::kPiece) << "no buffer the size of the entry";
}

TEST(ZipMemory, AForgedHugeSizeIsRefusedWithoutAllocatingIt) {
  // 1 MiB that claims to inflate to 700 MiB, which deflate could reach.
  std::string plain = Noise(1 << 20, 3);
  Machine m;
  std::string zip = CraftZip({{"a.txt", "a"}, {"big.bin", Deflate(plain), 0, 8, plain, 700u << 20}});
  AllocationWatch watch;
  EXPECT_EQ(m.Extract(zip), L"Zip entry big.bin does not have the size its header declares.");
  EXPECT_LT(watch.largest(), 4u << 20);
  EXPECT_TRUE(m.Written().empty());
}

TEST(ZipMemory, AFailedAllocationFailsTheExtractionAndWritesNothing) {
  Machine m;
  std::string zip = Zip("py_deflated.zip");
  std::wstring error;
  {
    AllocationWatch watch(256 << 10);
    error = m.Extract(zip);
  }
  EXPECT_EQ(error, L"Not enough memory to extract the zip archive.");
  EXPECT_TRUE(m.Written().empty());

  testing::FakeSession f;
  f.w.AddFile(L"C:\\Down\\fix.zip", zip);
  std::wstring script, archive;
  bool loaded = false;
  {
    AllocationWatch watch(256 << 10);
    loaded = LoadScript(f.s, {L"C:\\Corvex.exe", L"C:\\Down\\fix.zip"}, script, archive);
  }
  EXPECT_FALSE(loaded);
  EXPECT_TRUE(EndsWith(f.s.log, L"Failed to extract zip archive. Not enough memory to extract the zip archive.\r\n\r\n\r\n\r\n\r\n"));
  EXPECT_TRUE(f.w.ListTree(L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\Archive").empty());
}

}  // namespace
}  // namespace corvex
