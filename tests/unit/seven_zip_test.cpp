#include "online/seven_zip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "base/text.h"
#include "sample_files.h"
#include "test_support.h"

namespace corvex::online {
namespace {

// The files inside the fixtures, made as tests/samples/7z/make-fixtures.sh
// makes them.
uint32_t Step(uint32_t x) { return static_cast<uint32_t>((x * 1103515245ull + 12345) % (1ull << 31)); }

std::string Text(uint32_t seed, size_t n) {
  static const char* kWords[] = {"alpha",    "beta",  "gamma",  "delta",    "component",
                                 "store",    "registry", "winsxs", "manifest", "catalog"};
  std::string out;
  for (uint32_t x = seed; out.size() < n;) {
    x = Step(x);
    uint32_t r = x >> 16;
    out += kWords[r % 10];
    out += r % 7 == 0 ? '\n' : ' ';
  }
  return out.substr(0, n);
}

std::string Exe(uint32_t seed, size_t n) {
  std::string b = "MZ";
  for (uint32_t x = seed; b.size() < n;) {
    x = Step(x);
    uint32_t r = x >> 16;
    if (r % 3 == 0) {
      uint32_t rel = static_cast<uint32_t>(static_cast<int32_t>((r * 37) % 500) - 250);
      b += '\xE8';
      for (int i = 0; i < 4; ++i) b += static_cast<char>(rel >> (8 * i));
    } else if (r % 3 == 1) {
      b += std::string("\x55\x8B\xEC\x83\xEC", 5) + static_cast<char>(r & 0xFF);
    } else {
      b += '\x90';
      b += static_cast<char>((r >> 3) & 0xFF);
    }
  }
  return b.substr(0, n);
}

const std::wstring kArchive = L"C:\\Downloads\\db.7z";
const std::wstring kOut = L"C:\\Out";

struct Fixture {
  testing::FakeSession f;
  explicit Fixture(const std::string& bytes) { f.w.AddFile(kArchive, bytes); }
  std::wstring Extract() {
    f.w.AddFolder(kOut);
    return ExtractSevenZip(f.s.os.fs, kArchive, kOut);
  }
};

TEST(SevenZipTest, FixturesExtractByteForByte) {
  const std::map<std::wstring, std::string> small = {
      {L"readme.txt", Text(1, 3000)}, {L"data\\notes.txt", Text(2, 20000)}, {L"data\\empty.dat", ""}};
  std::map<std::wstring, std::string> full = small;
  full[L"data\\big.txt"] = Text(3, 150000);
  const struct {
    const char* file;
    std::map<std::wstring, std::string> files;
    bool emptyFolder;
  } cases[] = {
      {"default.7z", full, true},  // LZMA2, solid, encoded header
      {"lzma.7z", small, true},
      {"copy.7z", small, true},
      {"deflate.7z", small, true},
      {"plain-header.7z", small, true},
      {"bcj.7z", {{L"bin\\tool.exe", Exe(4, 70000)}}, false},  // LZMA then x86 filter
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Fixture x(ReadSample(std::string("7z/") + c.file));
    ASSERT_EQ(x.Extract(), L"");
    size_t found = 0;
    for (const std::wstring& path : x.f.w.ListTree(kOut)) {
      if (x.f.w.IsFolder(path)) continue;
      ++found;
      auto want = c.files.find(path.substr(kOut.size() + 1));
      ASSERT_NE(want, c.files.end()) << ToUtf8(path);
      EXPECT_TRUE(x.f.w.FileBytes(path) == want->second) << ToUtf8(path);
    }
    EXPECT_EQ(found, c.files.size());
    EXPECT_EQ(x.f.w.IsFolder(kOut + L"\\empty"), c.emptyFolder);
  }
}

// Damaged data and refused archives leave nothing behind.
TEST(SevenZipTest, DamagedTruncatedAndEncryptedArchivesFailLeavingNothing) {
  auto flipped = [](std::string b, size_t at) {
    b[at] = static_cast<char>(b[at] ^ 0x10);
    return b;
  };
  const std::string copy = ReadSample("7z/copy.7z"), solid = ReadSample("7z/default.7z");
  const struct {
    const char* what;
    std::string bytes;
    const wchar_t* reason;
  } cases[] = {
      {"stored byte flipped", flipped(copy, 32 + 1000), L"CRC"},
      {"LZMA2 byte flipped", flipped(solid, 32 + 5000), L"damaged"},
      {"cut in half", solid.substr(0, solid.size() / 2), L"truncated"},
      {"cut in the packed data", solid.substr(0, 32 + 20000) + solid.substr(solid.size() - 300), L"damaged"},
      {"encrypted", ReadSample("7z/aes.7z"), L"uses AES encryption"},
      {"not a 7z archive", "PK\x03\x04 not 7z at all, long enough for a signature header", L"not a 7z archive"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture x(c.bytes);
    std::wstring reason = x.Extract();
    EXPECT_TRUE(testing::Holds(reason, c.reason));
    EXPECT_TRUE(x.f.w.ListTree(kOut).empty());
  }
}

// A name is patched in an archive whose header is not compressed, and the
// header's CRCs made right again: only the name check can refuse it.
TEST(SevenZipTest, EscapingNamesRefuseTheWholeArchiveBeforeWriting) {
  const std::string plain = ReadSample("7z/plain-header.7z");
  const std::string from = ToUtf16Le(L"readme.txt");
  for (const wchar_t* name : {L"..\\dme.txt", L"C:\\dme.txt", L"\\\\s\\me.txt", L"/eadme.txt", L"readme:txt",
                              L"CON\\me.txt", L"readme.tx.", L"data\\..\\xt"}) {
    SCOPED_TRACE(ToUtf8(name));
    std::string b = plain;
    size_t at = b.rfind(from);
    ASSERT_NE(at, std::string::npos);
    b.replace(at, from.size(), ToUtf16Le(name));
    uint64_t offset = 0, size = 0;
    for (int i = 7; i >= 0; --i) {
      offset = offset << 8 | static_cast<uint8_t>(b[12 + i]);
      size = size << 8 | static_cast<uint8_t>(b[20 + i]);
    }
    auto put32 = [&](size_t pos, uLong v) {
      for (int i = 0; i < 4; ++i) b[pos + i] = static_cast<char>(v >> (8 * i));
    };
    put32(28, crc32(0, reinterpret_cast<const Bytef*>(b.data() + 32 + offset), static_cast<uInt>(size)));
    put32(8, crc32(0, reinterpret_cast<const Bytef*>(b.data() + 12), 20));
    Fixture x(b);
    std::wstring reason = x.Extract();
    EXPECT_TRUE(testing::Holds(reason, L"outside the destination"));
    EXPECT_TRUE(x.f.w.ListTree(kOut).empty());
    EXPECT_EQ(x.f.w.ListTree(L"C:\\Downloads").size(), 1u);
    EXPECT_FALSE(x.f.w.Exists(L"C:\\dme.txt"));
  }
}

TEST(SevenZipTest, DestinationRules) {
  const struct {
    const wchar_t* dest;
    const wchar_t* file;  // null: a file stands where the destination should be
    std::string want;
  } cases[] = {
      {L"", L"C:\\Downloads\\readme.txt", Text(1, 3000)},  // the archive's own folder
      {L"C:\\Work\\Db\\", L"C:\\Work\\Db\\data\\notes.txt", Text(2, 20000)},  // missing parents
      {L"C:\\Work\\Db", nullptr, ""},
  };
  for (const auto& c : cases) {
    Fixture x(ReadSample("7z/lzma.7z"));
    if (!c.file) x.f.w.AddFile(L"C:\\Work", "x");
    EXPECT_EQ(Extract7zArchive(x.f.s, kArchive, c.dest), c.file != nullptr) << ToUtf8(c.dest);
    EXPECT_EQ(c.file ? x.f.w.FileBytes(c.file) : std::string(), c.want);
  }
}

}  // namespace
}  // namespace corvex::online
