#include "script/zip_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <new>
#include <set>

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

void Put16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& s, size_t at, uint32_t v) {
  Put16(s, at, static_cast<uint16_t>(v & 0xFFFF));
  Put16(s, at + 2, static_cast<uint16_t>(v >> 16));
}
uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}
void Append16(std::string& s, uint16_t v) {
  s.append(2, '\0');
  Put16(s, s.size() - 2, v);
}
void Append32(std::string& s, uint32_t v) {
  s.append(4, '\0');
  Put32(s, s.size() - 4, v);
}

// Offsets of every central directory header, found by signature.
std::vector<size_t> CentralHeaders(const std::string& zip) {
  std::vector<size_t> out;
  for (size_t p = zip.find("PK\x01\x02"); p != std::string::npos; p = zip.find("PK\x01\x02", p + 1)) out.push_back(p);
  return out;
}
size_t EndRecord(const std::string& zip) { return zip.rfind("PK\x05\x06"); }

// A minimal archive writer for names and header values no zip tool would
// produce. The data goes in as given, whatever `method` says.
struct Item {
  Item(std::string n, std::string d, uint16_t f = 0, uint16_t m = 0, std::string p = "", uint32_t declared = 0)
      : name(std::move(n)), data(std::move(d)), flags(f), method(m), plain(std::move(p)), declaredSize(declared) {}
  std::string name;
  std::string data;
  uint16_t flags = 0;
  uint16_t method = 0;
  // For a deflated item: what `data` inflates to, for its CRC and size.
  std::string plain;
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
      Append32(s, isCentral ? 0x02014b50 : 0x04034b50);
      if (isCentral) Append16(s, 20);
      Append16(s, 20);
      Append16(s, it.flags);
      Append16(s, it.method);
      Append32(s, 0);  // time and date
      Append32(s, crc);
      Append32(s, static_cast<uint32_t>(it.data.size()));
      Append32(s, size);
      Append16(s, static_cast<uint16_t>(it.name.size()));
      Append16(s, 0);
      if (isCentral) {
        Append16(s, 0);  // comment, disk, attributes
        Append16(s, 0);
        Append16(s, 0);
        Append32(s, 0);
        Append32(s, offset);
      }
      s += it.name;
    };
    header(central, true, static_cast<uint32_t>(out.size()));
    header(out, false, 0);
    out += it.data;
  }
  uint32_t cdOffset = static_cast<uint32_t>(out.size());
  out += central;
  Append32(out, 0x06054b50);
  Append32(out, 0);
  Append16(out, static_cast<uint16_t>(items.size()));
  Append16(out, static_cast<uint16_t>(items.size()));
  Append32(out, static_cast<uint32_t>(central.size()));
  Append32(out, cdOffset);
  Append16(out, 0);
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

class ZipTest : public ::testing::Test {
 protected:
  std::wstring Extract(const std::string& bytes, const std::wstring& dest = L"C:\\out") {
    w.AddFile(kZip, bytes);
    return ExtractZip(w.platform().fs, kZip, dest);
  }
  // What is on drive C: and outside any drive that was not there at the start,
  // apart from the archive.
  std::vector<std::wstring> Written() const {
    std::vector<std::wstring> out;
    for (const std::wstring& p : Everything())
      if (!IEquals(p, L"C:\\in") && !IEquals(p, kZip) && !std::count(before_.begin(), before_.end(), p))
        out.push_back(p);
    std::sort(out.begin(), out.end());
    return out;
  }
  std::vector<std::wstring> Everything() const {
    std::vector<std::wstring> all = w.ListTree(L"C:"), outside = w.ListTree(L"");
    all.insert(all.end(), outside.begin(), outside.end());
    return all;
  }
  void ExpectFile(const std::wstring& path, const std::string& bytes) {
    ASSERT_TRUE(w.Exists(path)) << ToUtf8(path);
    EXPECT_FALSE(w.IsFolder(path)) << ToUtf8(path);
    EXPECT_EQ(w.FileBytes(path), bytes) << ToUtf8(path);
  }
  void ExpectFolder(const std::wstring& path) { EXPECT_TRUE(w.IsFolder(path)) << ToUtf8(path); }
  // The whole of tree/, extracted into C:\out.
  void ExpectTree() {
    ExpectFile(L"C:\\out\\hello.txt", Tree("hello.txt"));
    ExpectFile(L"C:\\out\\empty.txt", "");
    ExpectFile(L"C:\\out\\docs\\readme.txt", Tree("docs/readme.txt"));
    ExpectFile(L"C:\\out\\docs\\deep\\nested\\data.bin", Tree("docs/deep/nested/data.bin"));
  }

  fake::FakeWindows w;
  const std::vector<std::wstring> before_ = Everything();
};

// --- Archives that extract --------------------------------------------------

TEST_F(ZipTest, StoredEntriesExtractByteForByte) {
  ASSERT_EQ(Extract(Zip("py_stored.zip")), L"");
  ExpectFile(L"C:\\out\\hello.txt", Tree("hello.txt"));
  ExpectFile(L"C:\\out\\empty.txt", "");
  ExpectFile(L"C:\\out\\docs\\readme.txt", Tree("docs/readme.txt"));
  std::vector<std::wstring> expected = {L"C:\\out", L"C:\\out\\docs", L"C:\\out\\docs\\readme.txt",
                                        L"C:\\out\\empty.txt", L"C:\\out\\hello.txt"};
  EXPECT_EQ(Written(), expected);
}

TEST_F(ZipTest, DeflatedNestedFilesAndAnEmptyFolderEntry) {
  ASSERT_EQ(Extract(Zip("py_deflated.zip")), L"");
  ExpectTree();
  ExpectFolder(L"C:\\out\\docs\\empty_dir");
  EXPECT_TRUE(w.ListTree(L"C:\\out\\docs\\empty_dir").empty());
}

TEST_F(ZipTest, ZipCommandArchiveWithCommentAndFolderEntries) {
  std::string zip = Zip("zip_cli.zip");
  ZipListing listing = Parse(zip);
  ASSERT_EQ(listing.error, L"");
  std::map<std::wstring, bool> folders;
  for (const ZipEntry& e : listing.entries) folders[e.name] = e.folder;
  std::map<std::wstring, bool> expected = {
      {L"hello.txt", false}, {L"empty.txt", false},   {L"docs", true},
      {L"docs\\readme.txt", false}, {L"docs\\deep", true}, {L"docs\\deep\\nested", true},
      {L"docs\\deep\\nested\\data.bin", false}};
  EXPECT_EQ(folders, expected);

  ASSERT_EQ(Extract(zip), L"");
  ExpectTree();
}

TEST_F(ZipTest, StreamedArchiveWithDataDescriptors) {
  std::string zip = Zip("zip_stream.zip");
  ZipListing listing = Parse(zip);
  ASSERT_EQ(listing.error, L"");
  ASSERT_EQ(listing.entries.size(), 2u);
  for (const ZipEntry& e : listing.entries) EXPECT_TRUE(e.flags & 0x0008) << "fixture lacks data descriptors";

  ASSERT_EQ(Extract(zip), L"");
  ExpectFile(L"C:\\out\\hello.txt", Tree("hello.txt"));
  ExpectFile(L"C:\\out\\docs\\readme.txt", Tree("docs/readme.txt"));
}

TEST_F(ZipTest, Utf8FlaggedNames) {
  ASSERT_EQ(Extract(Zip("py_utf8.zip")), L"");
  std::wstring folder = L"C:\\out\\" + FromUtf8("\xC3\x9Cn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9");
  ExpectFolder(folder);
  ExpectFile(folder + L"\\" + FromUtf8("na\xC3\xAFve \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt"),
             Tree("hello.txt"));
  // Outside the 16-bit range: a surrogate pair on Windows.
  ExpectFile(L"C:\\out\\" + FromUtf8("\xF0\x9F\x98\x80.txt"), Tree("docs/readme.txt"));
}

TEST_F(ZipTest, UnflaggedNamesAreCodePage437) {
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
  ASSERT_EQ(e.name.size(), 132u);
  EXPECT_EQ(e.name.substr(128), L".txt");

  ASSERT_EQ(Extract(zip), L"");
  ExpectFile(L"C:\\out\\" + e.name, data);
}

TEST_F(ZipTest, FolderOnlyArchiveMakesJustThatFolder) {
  ASSERT_EQ(Extract(Zip("py_folder_only.zip")), L"");
  std::vector<std::wstring> expected = {L"C:\\out", L"C:\\out\\only_folder"};
  EXPECT_EQ(Written(), expected);
  ExpectFolder(L"C:\\out\\only_folder");
}

TEST_F(ZipTest, ArchiveWithoutEntriesIsNotAnErrorAndWritesNothing) {
  std::string zip = Zip("py_empty.zip");
  ASSERT_EQ(zip.size(), 22u);
  ZipListing listing = Parse(zip);
  EXPECT_EQ(listing.error, L"");
  EXPECT_TRUE(listing.entries.empty());
  EXPECT_EQ(Extract(zip), L"");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, Zip64ExtraFieldInLocalHeaders) {
  ASSERT_EQ(Extract(Zip("py_zip64_local.zip")), L"");
  ExpectFile(L"C:\\out\\hello.txt", Tree("hello.txt"));
  ExpectFile(L"C:\\out\\docs\\readme.txt", Tree("docs/readme.txt"));
}

TEST_F(ZipTest, Zip64EndRecordsAndCentralExtraFields) {
  std::string zip = Zip("py_zip64_full.zip");
  // The classic end record holds only markers: the values must come from ZIP64.
  size_t end = EndRecord(zip);
  ASSERT_EQ(zip.substr(end + 8, 12), std::string(12, '\xFF'));
  ASSERT_EQ(Get32(zip, CentralHeaders(zip).at(1) + 42), 0xFFFFFFFFu);
  ASSERT_EQ(Extract(zip), L"");
  ExpectFile(L"C:\\out\\hello.txt", Tree("hello.txt"));
  ExpectFile(L"C:\\out\\docs\\readme.txt", Tree("docs/readme.txt"));
}

TEST_F(ZipTest, Zip64MarkersWithoutTheZip64RecordsAreCorrupt) {
  std::string zip = Zip("py_zip64_full.zip");
  size_t locator = EndRecord(zip) - 20;
  zip[locator + 3] = 'X';
  EXPECT_EQ(Extract(zip), L"The zip central directory is truncated or corrupt.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, CommentHoldingTheEndSignatureIsNotTakenForIt) {
  ASSERT_EQ(Extract(Zip("py_comment_trap.zip")), L"");
  ExpectFile(L"C:\\out\\hello.txt", Tree("hello.txt"));
}

TEST_F(ZipTest, DataInFrontOfTheArchiveIsSkipped) {
  std::string stub = "MZ" + std::string(1000, '\x90');
  ASSERT_EQ(Extract(stub + Zip("py_deflated.zip")), L"");
  ExpectTree();
}

TEST_F(ZipTest, DataInFrontOfAZip64ArchiveIsSkipped) {
  ASSERT_EQ(Extract(std::string(300, 'j') + Zip("py_zip64_full.zip")), L"");
  ExpectFile(L"C:\\out\\docs\\readme.txt", Tree("docs/readme.txt"));
}

TEST_F(ZipTest, MissingDestinationParentsAreCreated) {
  ASSERT_EQ(Extract(Zip("py_stored.zip"), L"C:\\a\\b\\c"), L"");
  ExpectFile(L"C:\\a\\b\\c\\docs\\readme.txt", Tree("docs/readme.txt"));
}

TEST_F(ZipTest, DestinationWithTrailingBackslash) {
  ASSERT_EQ(Extract(Zip("py_stored.zip"), L"C:\\out\\"), L"");
  ExpectFile(L"C:\\out\\hello.txt", Tree("hello.txt"));
  ASSERT_NE(w.Node(L"C:\\out\\hello.txt"), nullptr);
  EXPECT_EQ(w.Node(L"C:\\out\\hello.txt")->path, L"C:\\out\\hello.txt");
}

TEST_F(ZipTest, ExistingFoldersAreKeptAndFilesReplaced) {
  w.AddFile(L"C:\\out\\docs\\readme.txt", "old text");
  w.AddFile(L"C:\\out\\other.txt", "untouched");
  ASSERT_EQ(Extract(Zip("py_stored.zip")), L"");
  ExpectFile(L"C:\\out\\docs\\readme.txt", Tree("docs/readme.txt"));
  ExpectFile(L"C:\\out\\other.txt", "untouched");
}

// --- Unsafe names -----------------------------------------------------------

class ZipEvilFixtureTest : public ZipTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ZipEvilFixtureTest, RefusedBeforeAnythingIsWritten) {
  std::wstring error = Extract(Zip(GetParam()));
  EXPECT_TRUE(StartsWith(error, L"Refused the zip archive because entry ")) << ToUtf8(error);
  EXPECT_TRUE(EndsWith(error, L" has an unsafe name.")) << ToUtf8(error);
  EXPECT_TRUE(Written().empty());
  for (const wchar_t* p : {L"C:\\evil.txt", L"C:\\out\\..\\evil.txt", L"\\tmp\\evil.txt", L"C:\\tmp\\evil.txt",
                           L"\\\\server\\share\\evil.txt", L"C:\\out\\good.txt"})
    EXPECT_FALSE(w.Exists(p)) << ToUtf8(p);
}

INSTANTIATE_TEST_SUITE_P(ZipFixtures, ZipEvilFixtureTest,
                         ::testing::Values("evil_dotdot.zip", "evil_nested_dotdot.zip", "evil_abs.zip",
                                           "evil_drive.zip", "evil_unc.zip"));

TEST_F(ZipTest, RefusalNamesTheEntry) {
  EXPECT_EQ(Extract(Zip("evil_dotdot.zip")), L"Refused the zip archive because entry ..\\evil.txt has an unsafe name.");
}

class ZipUnsafeNameTest : public ZipTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ZipUnsafeNameTest, CraftedArchiveIsRefused) {
  std::string zip = CraftZip({{"first.txt", "data"}, {GetParam(), "evil", 0x0800}});
  std::wstring error = Extract(zip);
  EXPECT_TRUE(StartsWith(error, L"Refused the zip archive")) << ToUtf8(error);
  EXPECT_TRUE(Written().empty());
}

INSTANTIATE_TEST_SUITE_P(
    ZipNames, ZipUnsafeNameTest,
    ::testing::Values("../x.txt", "a/../../x.txt", "a/..", "..", "/x.txt", "\\x.txt", "//server/share/x.txt",
                      "\\\\server\\share\\x.txt", "C:x.txt", "C:/x.txt", "c:\\x.txt", "a//b.txt", "./x.txt",
                      "a/./b.txt", ".../x.txt", ". ./x.txt", "a\\..\\..\\x.txt", std::string("a\0b.txt", 7),
                      "a\x01" "b.txt", "a\tb.txt", "x.txt:hidden", "a*.txt", "a?.txt", "a|b", "a<b", "a\"b", "", "/",
                      "NUL", "nul.txt", "sub/CON", "com1.log", "LPT9", "aux .txt", "CONOUT$",
                      // An overlong '/' decoded leniently must still be caught.
                      "..\xC0\xAFx.txt"));

TEST(ZipNameTest, OrdinaryNamesAreSafe) {
  for (const wchar_t* name : {L"a.txt", L"a\\b\\c.txt", L"..a", L"a..b", L"a\\..b\\c", L"file.", L"x .txt",
                              L"console.txt", L"COM10", L"LPT", L"nulled", L"con-fig.ini", L"$x"})
    EXPECT_TRUE(IsSafeZipEntryName(name)) << ToUtf8(name);
  EXPECT_TRUE(IsSafeZipEntryName(FromUtf8("\xE6\x97\xA5\xE6\x9C\xAC\\\xF0\x9F\x98\x80.txt")));
  EXPECT_FALSE(IsSafeZipEntryName(L"COM\u00B9"));
  EXPECT_FALSE(IsSafeZipEntryName(L"a\\b/..\\..\\c"));
}

// --- Damaged archives and failing writes ------------------------------------

TEST_F(ZipTest, AFailedReadAtAnyPointWritesNothing) {
  const std::string zip = Zip("py_stored.zip");
  int failed = 0;
  for (int skip = 0; skip < 12; ++skip) {
    fake::FakeWindows fresh;
    fresh.AddFile(kZip, zip);
    fresh.InjectFault(fake::Op::kReadFile, L"a.zip", 32, 1, skip);
    std::wstring error = ExtractZip(fresh.platform().fs, kZip, L"C:\\out");
    if (error.empty()) continue;
    ++failed;
    EXPECT_EQ(error, L"Failed to read zip file C:\\in\\a.zip with error code 32.") << skip;
    EXPECT_FALSE(fresh.Exists(L"C:\\out")) << skip;
  }
  // The end record, each local header and the data of each non-empty entry.
  EXPECT_GE(failed, 5);
}

TEST_F(ZipTest, UnreadableFileReportsTheCode) {
  w.AddFile(kZip, Zip("py_stored.zip"));
  w.InjectFault(fake::Op::kReadFile, L"a.zip", 32);
  EXPECT_EQ(ExtractZip(w.platform().fs, kZip, L"C:\\out"),
            L"Failed to read zip file C:\\in\\a.zip with error code 32.");
  EXPECT_EQ(ExtractZip(w.platform().fs, L"C:\\in\\missing.zip", L"C:\\out"),
            L"Failed to read zip file C:\\in\\missing.zip with error code 2.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, EmptyFile) {
  EXPECT_EQ(Extract(""), L"The zip file C:\\in\\a.zip is empty.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, GarbageIsNotAZip) {
  std::string garbage;
  uint32_t x = 12345;
  for (int i = 0; i < 100000; ++i) garbage.push_back(static_cast<char>((x = x * 1103515245 + 12345) >> 24));
  ASSERT_EQ(garbage.find("PK\x05\x06"), std::string::npos);
  EXPECT_EQ(Extract(garbage), L"The file is not a zip archive.");
  EXPECT_EQ(Parse("PK\x05\x06 short").error, L"The file is not a zip archive.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, EveryTruncationFailsAndWritesNothing) {
  for (const char* name : {"py_zip64_full.zip", "zip_stream.zip", "py_utf8.zip", "cp437.zip"}) {
    std::string zip = Zip(name);
    for (size_t cut = 1; cut < zip.size(); ++cut) {
      fake::FakeWindows fresh;
      fresh.AddFile(kZip, zip.substr(0, cut));
      std::wstring error = ExtractZip(fresh.platform().fs, kZip, L"C:\\out");
      EXPECT_FALSE(error.empty()) << name << " cut at " << cut;
      EXPECT_FALSE(fresh.Exists(L"C:\\out")) << name << " cut at " << cut;
    }
  }
}

TEST_F(ZipTest, BytesMissingFromTheMiddle) {
  std::string zip = Zip("py_stored.zip");
  size_t data = zip.find("Line 100");
  ASSERT_NE(data, std::string::npos);
  EXPECT_FALSE(Extract(zip.erase(data, 7)).empty());
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, FlippedCrcInTheCentralDirectory) {
  std::string zip = Zip("py_stored.zip");
  zip[CentralHeaders(zip).at(0) + 16] ^= 0x01;
  EXPECT_EQ(Extract(zip), L"Zip entry hello.txt failed its CRC-32 check.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, FlippedStoredDataByteFailsTheCrcOfThatEntryOnly) {
  std::string zip = Zip("py_stored.zip");
  zip[zip.find("Line 123")] ^= 0x20;
  EXPECT_EQ(Extract(zip), L"Zip entry docs\\readme.txt failed its CRC-32 check.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, FlippedDeflatedDataByteIsCaught) {
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
    std::string copy = zip;
    copy[i] ^= 0x10;
    std::string out;
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

TEST_F(ZipTest, DeclaredSizeMustMatch) {
  std::string zip = Zip("py_deflated.zip");
  size_t readme = CentralHeaders(zip).at(2);
  ASSERT_EQ(zip.substr(readme + 46, 15), "docs/readme.txt");
  uint32_t size = Get32(zip, readme + 24);
  for (uint32_t wrong : {size + 1, size - 1, 0u}) {
    std::string copy = zip;
    Put32(copy, readme + 24, wrong);
    fake::FakeWindows fresh;
    fresh.AddFile(kZip, copy);
    EXPECT_EQ(ExtractZip(fresh.platform().fs, kZip, L"C:\\out"),
              L"Zip entry docs\\readme.txt does not have the size its header declares.");
    EXPECT_FALSE(fresh.Exists(L"C:\\out"));
  }
  std::string stored = Zip("py_stored.zip");
  Put32(stored, CentralHeaders(stored).at(0) + 24, 12);
  EXPECT_EQ(Extract(stored), L"Zip entry hello.txt does not have the size its header declares.");
}

TEST_F(ZipTest, ImpossibleDeflateRatioIsRefusedWithoutAllocating) {
  std::string zip = Zip("py_deflated.zip");
  Put32(zip, CentralHeaders(zip).at(0) + 24, 0xFFFFFFF0u);
  EXPECT_EQ(Extract(zip), L"Zip entry hello.txt does not have the size its header declares.");
}

TEST_F(ZipTest, UnsupportedMethod) {
  std::string zip = Zip("py_stored.zip");
  Put16(zip, CentralHeaders(zip).at(0) + 10, 12);
  EXPECT_EQ(Extract(zip), L"Zip entry hello.txt uses unsupported compression method 12.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, EncryptedEntry) {
  std::string zip = Zip("zip_encrypted.zip");
  ZipListing listing = Parse(zip);
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_TRUE(listing.entries[0].flags & 1);
  EXPECT_EQ(Extract(zip), L"Zip entry hello.txt is encrypted.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, CentralDirectoryOutOfRange) {
  std::string zip = Zip("py_stored.zip");
  Put32(zip, EndRecord(zip) + 16, 0x7FFFFFF0u);
  EXPECT_EQ(Extract(zip), L"The zip central directory is truncated or corrupt.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, MoreEntriesCountedThanPresent) {
  std::string zip = Zip("py_stored.zip");
  size_t end = EndRecord(zip);
  Put16(zip, end + 8, 4);
  Put16(zip, end + 10, 4);
  EXPECT_EQ(Extract(zip), L"The zip central directory is truncated or corrupt.");
}

TEST_F(ZipTest, CentralHeaderRunningPastTheDirectory) {
  std::string zip = Zip("py_stored.zip");
  Put16(zip, CentralHeaders(zip).back() + 28, 200);  // name length
  EXPECT_EQ(Extract(zip), L"The zip central directory is truncated or corrupt.");
}

TEST_F(ZipTest, LocalHeaderOffsetPointingAtData) {
  std::string zip = Zip("py_stored.zip");
  Put32(zip, CentralHeaders(zip).at(2) + 42, 5);
  EXPECT_EQ(Extract(zip), L"The local header of zip entry docs\\readme.txt is truncated or corrupt.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, CompressedSizePastTheEnd) {
  std::string zip = Zip("py_deflated.zip");
  Put32(zip, CentralHeaders(zip).at(3) + 20, 0x00FFFFFFu);
  EXPECT_EQ(Extract(zip), L"The data of zip entry docs\\deep\\nested\\data.bin is truncated.");
}

TEST_F(ZipTest, SpannedArchivesAreRefused) {
  std::string zip = Zip("py_stored.zip");
  Put16(zip, EndRecord(zip) + 4, 1);
  EXPECT_EQ(Extract(zip), L"Zip archives split over several disks are not supported.");
}

TEST_F(ZipTest, ByteFlipsEitherFailCleanlyOrExtractTheSameData) {
  std::string zip = Zip("py_zip64_full.zip");
  std::vector<std::string> contents = {Tree("hello.txt"), Tree("docs/readme.txt")};
  int failures = 0;
  for (size_t i = 0; i < zip.size(); ++i) {
    std::string copy = zip;
    copy[i] ^= 0x41;
    fake::FakeWindows fresh;
    fresh.AddFile(kZip, copy);
    std::wstring error = ExtractZip(fresh.platform().fs, kZip, L"C:\\out");
    if (!error.empty()) {
      ++failures;
      EXPECT_FALSE(fresh.Exists(L"C:\\out")) << "flip at " << i;
      continue;
    }
    for (const std::wstring& p : fresh.ListTree(L"C:\\out")) {
      if (fresh.IsFolder(p)) continue;
      EXPECT_NE(std::find(contents.begin(), contents.end(), fresh.FileBytes(p)), contents.end())
          << "flip at " << i << " wrote unexpected data to " << ToUtf8(p);
    }
  }
  // The data and every size, offset and signature are guarded.
  EXPECT_GT(failures, static_cast<int>(zip.size() / 2));
}

TEST_F(ZipTest, WriteFailureReportsPathAndCode) {
  w.InjectFault(fake::Op::kWriteFile, L"", 5);
  EXPECT_EQ(Extract(Zip("py_stored.zip")), L"Failed to write extracted file C:\\out\\hello.txt with error code 5.");
  EXPECT_FALSE(w.Exists(L"C:\\out\\hello.txt"));
}

TEST_F(ZipTest, LaterWriteFailureStopsExtraction) {
  w.InjectFault(fake::Op::kWriteFile, L"readme", 112);
  EXPECT_EQ(Extract(Zip("py_stored.zip")),
            L"Failed to write extracted file C:\\out\\docs\\readme.txt with error code 112.");
}

TEST_F(ZipTest, FolderCreationFailureReportsPathAndCode) {
  w.InjectFault(fake::Op::kCreateFolder, L"docs", 5);
  EXPECT_EQ(Extract(Zip("py_stored.zip")), L"Failed to create folder C:\\out\\docs with error code 5.");
  w.ClearFaults();
  fake::FakeWindows other;
  other.AddFile(kZip, Zip("py_stored.zip"));
  other.InjectFault(fake::Op::kCreateFolder, L"out", 19);
  EXPECT_EQ(ExtractZip(other.platform().fs, kZip, L"C:\\out"), L"Failed to create folder C:\\out with error code 19.");
}

TEST_F(ZipTest, FileInTheWayOfAFolder) {
  w.AddFile(L"C:\\out\\docs", "a file, not a folder");
  std::wstring error = Extract(Zip("py_stored.zip"));
  EXPECT_TRUE(StartsWith(error, L"Failed to write extracted file C:\\out\\docs\\readme.txt")) << ToUtf8(error);
}

TEST_F(ZipTest, AFailedMoveIntoPlaceTakesBackWhatWasMoved) {
  w.InjectFault(fake::Op::kMoveFile, L"readme", 32);
  EXPECT_EQ(Extract(Zip("py_stored.zip")), L"Failed to write extracted file C:\\out\\docs\\readme.txt with error code 32.");
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, EntriesNamedLikeTheStagingFolderAreExtractedAsTheyAre) {
  w.AddFile(L"C:\\out\\.extracting1", "in the way");
  ASSERT_EQ(Extract(CraftZip({{".extracting/a.txt", "a"}, {"b.txt", "b"}})), L"");
  std::vector<std::wstring> tree = w.ListTree(L"C:\\out");
  std::set<std::wstring> expected = {L"C:\\out\\.extracting", L"C:\\out\\.extracting\\a.txt",
                                     L"C:\\out\\.extracting1", L"C:\\out\\b.txt"};
  EXPECT_EQ(std::set<std::wstring>(tree.begin(), tree.end()), expected);
  ExpectFile(L"C:\\out\\.extracting\\a.txt", "a");
  ExpectFile(L"C:\\out\\.extracting1", "in the way");
}

// --- Memory ------------------------------------------------------------------

TEST(ZipMemory, AnEntryIsInflatedInPiecesWhateverItsSize) {
  std::string block;
  uint32_t x = 7;
  for (int i = 0; i < 4096; ++i) block.push_back(static_cast<char>((x = x * 1103515245 + 12345) >> 24));
  std::string plain;
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

TEST_F(ZipTest, AForgedHugeSizeIsRefusedWithoutAllocatingIt) {
  // 1 MiB that claims to inflate to 700 MiB, which deflate could reach.
  std::string plain;
  uint32_t x = 3;
  for (int i = 0; i < (1 << 20); ++i) plain.push_back(static_cast<char>((x = x * 1103515245 + 12345) >> 24));
  Item forged{"big.bin", Deflate(plain), 0, 8, plain, 700u << 20};
  w.AddFile(kZip, CraftZip({{"a.txt", "a"}, forged}));
  AllocationWatch watch;
  EXPECT_EQ(ExtractZip(w.platform().fs, kZip, L"C:\\out"), L"Zip entry big.bin does not have the size its header declares.");
  EXPECT_LT(watch.largest(), 4u << 20);
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipTest, AFailedAllocationFailsTheExtractionAndWritesNothing) {
  w.AddFile(kZip, Zip("py_deflated.zip"));
  std::wstring error;
  {
    AllocationWatch watch(256 << 10);
    error = ExtractZip(w.platform().fs, kZip, L"C:\\out");
  }
  EXPECT_EQ(error, L"Not enough memory to extract the zip archive.");
  EXPECT_TRUE(Written().empty());

  testing::FakeSession f;
  f.w.AddFile(L"C:\\Down\\fix.zip", Zip("py_deflated.zip"));
  std::wstring script, archive;
  bool loaded = false;
  {
    AllocationWatch watch(256 << 10);
    loaded = LoadScript(f.s, {L"C:\\Corvex.exe", L"C:\\Down\\fix.zip"}, script, archive);
  }
  EXPECT_FALSE(loaded);
  EXPECT_NE(f.w.ConsoleText().find(L"ERROR: Zip file is corrupt or unreadable."), std::wstring::npos);
  EXPECT_TRUE(EndsWith(f.s.log, L"Failed to extract zip archive. Not enough memory to extract the zip archive.\r\n\r\n\r\n\r\n\r\n"));
  EXPECT_TRUE(f.w.ListTree(L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\Archive").empty());
}

TEST_F(ZipTest, FolderByDosAttributeWithoutTrailingSlash) {
  std::string zip = CraftZip({{"dir", ""}, {"dir/x.txt", "x"}});
  size_t first = CentralHeaders(zip).at(0);
  Put32(zip, first + 38, 0x10);  // made by DOS (host 0), directory attribute
  ASSERT_EQ(Extract(zip), L"");
  ExpectFolder(L"C:\\out\\dir");
  ExpectFile(L"C:\\out\\dir\\x.txt", "x");
}

}  // namespace
}  // namespace corvex
