// The delta expander against the fake: LZMS blocks are real (wimlib on both
// sides, natively), msdelta answers what each test gives it.
#include <gtest/gtest.h>

#include "analysis/delta_container.h"
#include "analysis/delta_expander.h"
#include "platform/fake/fake_compression.h"
#include "security_test_support.h"
#include "test_support.h"

#ifndef _WIN32
#include <wimlib.h>
#endif

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;

std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// A DCS file: header, then per block its size fields and data.
struct Block {
  std::string data;
  uint32_t decompressedSize;
};
std::string Dcs(uint32_t numberOfBlocks, uint32_t uncompressedFileSize, const std::vector<Block>& blocks) {
  std::string f = std::string("DCS\x01", 4) + Le32(numberOfBlocks) + Le32(uncompressedFileSize);
  for (const Block& b : blocks) f += Le32(static_cast<uint32_t>(b.data.size() + 4)) + Le32(b.decompressedSize) + b.data;
  return f;
}

const std::wstring kIn = L"C:\\Store\\in.dll";
const std::wstring kOut = L"C:\\Out\\out.dll";

struct Expand : ::testing::Test {
  FakeSession f;
  fake::FakeCompression& c = f.w.compression();
  Expand() {
    f.w.AddFolder(L"C:\\Out");
    // The cross-built fake has no LZMS decoder; layouts that are refused
    // before any block is decoded are judged there too.
    c.lzms = {};
  }
  std::wstring Run(const std::wstring& args, const ManifestBasisSource& basis = {}) {
    return RunDeltaExpander(f.w.platform(), args, basis);
  }
  std::wstring RunOn(const std::string& bytes, const std::wstring& out = kOut) {
    f.w.AddFile(kIn, bytes);
    return Run(L"\"" + kIn + L"\" \"" + out + L"\"");
  }
  // Nothing left in the destination folder: no output, no temporary file.
  void ExpectNothingWritten() { EXPECT_TRUE(f.w.ListTree(L"C:\\Out").empty()); }
  // The report holds `sentence` and nothing was written.
  void ExpectRefused(const std::wstring& report, const std::wstring& sentence) {
    EXPECT_TRUE(IContains(report, sentence)) << report;
    ExpectNothingWritten();
  }
};

TEST_F(Expand, UsageAndArgumentChecks) {
  for (const wchar_t* args : {L"", L"  ", L"/?"}) EXPECT_TRUE(StartsWith(Run(args), L"Expand compressed files from WinSxS folder.\n")) << args;

  EXPECT_EQ(Run(L"C:\\Missing.dll C:\\Out\\x"), L"ZODADO: Source Path not found\n");
  f.w.AddFile(kIn, "MZ......");
  EXPECT_EQ(Run(kIn), L"ZODADO: Destination Path not specified\n");
  // A directory source needs a directory destination.
  f.w.AddFolder(L"C:\\Src");
  EXPECT_TRUE(EndsWith(Run(L"C:\\Src C:\\Out\\file.dll"), L"ZODADO: invalid paths specified\n"));
  // An over-long path is refused, never cut to another path.
  const std::wstring longPath = L"C:\\" + std::wstring(1000, L'a');
  EXPECT_TRUE(IContains(Run(longPath + L" " + kOut), L"Source Path is longer than 1000 characters"));
  EXPECT_TRUE(IContains(Run(kIn + L" C:\\Out\\" + std::wstring(1000, L'b')), L"Destination Path is longer than 1000 characters"));
  ExpectNothingWritten();
}

TEST_F(Expand, ShortAndUnknownFilesWriteNothing) {
  const std::pair<std::string, const wchar_t*> cases[] = {
      {std::string("MZ\x90\x00\x03\x00\x00", 7), L"File size\t\t7 bytes\r\nFile size is too small."},
      {"PA30abcd", L"File size\t\t8 bytes\r\nFile format is unknown."},
      {"DCH\x01" "0000", L"FileType: DCH1 "},
      {"DCX\x01" "0000", L"FileType: DCX1 "},
  };
  for (const auto& [bytes, sentence] : cases) EXPECT_TRUE(IContains(RunOn(bytes), sentence)) << sentence;
  ExpectNothingWritten();
}

TEST_F(Expand, ExecutableCopiedByteForByteAndDetectionOnlyReportsTheSameWritingNothing) {
  std::string mz = "MZ";
  for (int i = 0; i < 3000; ++i) mz += static_cast<char>(i * 7);
  const std::wstring real = RunOn(mz);
  EXPECT_TRUE(IContains(real, L"FileType: MZ, file will be copied")) << real;
  EXPECT_TRUE(EndsWith(real, L"Operation Successful\n")) << real;
  EXPECT_EQ(f.w.FileBytes(kOut), mz);
  EXPECT_EQ(f.w.ListTree(L"C:\\Out").size(), 1u);  // the temporary file is gone

  f.w.AddFile(kOut, "");  // start over
  std::wstring detect = Run(L"\"" + kIn + L"\" DETECTION_ONLY");
  EXPECT_EQ(ReplaceAll(real, kOut, kDetectionOnly), detect + L"\r\nOperation Successful\n");
  EXPECT_EQ(f.w.FileBytes(kOut), "");
  EXPECT_EQ(f.w.ListTree(L"C:\\Out").size(), 1u);
}

TEST_F(Expand, FailedWriteLeavesNoDestination) {
  f.w.InjectFault(Op::kMoveFile, L"out.dll", 5);
  std::wstring r = RunOn("MZ" + std::string(20, 'x'));
  EXPECT_TRUE(IContains(r, L"Error, write file: ERROR_ACCESS_DENIED")) << r;
  EXPECT_FALSE(IContains(r, L"Operation Successful"));
  ExpectNothingWritten();

  f.w.InjectWriteFault(fake::WriteFault::kFailAfter, L"out.dll", 5);
  ExpectRefused(Run(L"\"" + kIn + L"\" \"" + kOut + L"\""), L"Error, write file: ");

  // A file already there under the temporary name is left alone.
  f.w.AddFile(kOut + L".expanding", "someone's");
  r = Run(L"\"" + kIn + L"\" \"" + kOut + L"\"");
  EXPECT_TRUE(EndsWith(r, L"Operation Successful\n")) << r;
  EXPECT_EQ(f.w.FileBytes(kOut + L".expanding"), "someone's");
  EXPECT_EQ(f.w.FileBytes(kOut), "MZ" + std::string(20, 'x'));
}

TEST_F(Expand, DcsLayoutFaultsAndAMissingApiWriteNothing) {
  struct Case {
    const char* name;
    std::string file;
    const wchar_t* sentence;
    size_t blocks;  // the DCS_BLOCK headers listed before the fault
  } cases[] = {
      {"header cut", std::string("DCS\x01", 4) + Le32(1), L"Error, the DCS header is incomplete.", 0},
      {"zero size", Dcs(1, 0, {{"abcd", 0}}), L"Error, UncompressedFileSize is 0", 0},
      {"zero blocks", Dcs(0, 10, {{"abcd", 10}}), L"Error, NumberOfBlocks is 0", 0},
      {"past end", Dcs(1, 10, {{"abcd", 10}}).substr(0, 22), L"compressed data size is bigger than file size.",
       1},
      {"second header past end", Dcs(2, 10, {{"abcd", 10}}), L"compressed data size is bigger than file size.",
       1},
      {"block under 4", std::string("DCS\x01", 4) + Le32(1) + Le32(10) + Le32(3) + Le32(10),
       L"the block is smaller than its own size field.", 1},
      // 0xFFFFFFFF + 4 reaches past any file in 32 bits as in 64.
      {"size wraps", std::string("DCS\x01", 4) + Le32(1) + Le32(10) + Le32(0xFFFFFFFF) + Le32(10) + "abcd",
       L"compressed data size is bigger than file size.", 1},
      {"sum over", Dcs(2, 10, {{"abcd", 6}, {"efgh", 5}}),
       L"uncompressed data size is bigger than known uncompressed file size.", 2},
      {"sum wraps", Dcs(2, 10, {{"abcd", 6}, {"efgh", 0xFFFFFFFC}}),
       L"uncompressed data size is bigger than known uncompressed file size.", 2},
      {"sum under", Dcs(2, 10, {{"abcd", 4}, {"efgh", 5}}),
       L"uncompressed data size is smaller than known uncompressed file size.", 2},
  };
  // A layout at fault anywhere is not decoded at all: no decompressor is
  // ever asked for.
  f.w.InjectFault(Op::kLzmsCreate, L"", 8);
  for (const Case& k : cases) {
    const std::wstring r = RunOn(k.file);
    EXPECT_TRUE(IContains(r, k.sentence)) << k.name << "\n" << r;
    EXPECT_EQ(testing::Count(r, L"DCS_BLOCK #"), k.blocks) << k.name;
    EXPECT_FALSE(IContains(r, L"Operation Successful")) << k.name;
    ExpectNothingWritten();
  }
  EXPECT_EQ(f.w.PendingFaults(), 1u);

  // A sound layout without the API to decode it.
  c.lzms = {platform::ApiState::kLibraryMissing, 126};
  const std::wstring r = RunOn(Dcs(1, 4, {{"abcd", 4}}));
  EXPECT_TRUE(IContains(r, L"ZODADO: Error loading Cabinet.dll\n")) << r;
  ExpectRefused(r, L"Required Cabinet API are missing, cannot decompress this file.");
}

#ifndef _WIN32
// Raw LZMS blocks as Windows' compressor makes them, made here by wimlib's.
std::string Lzms(const std::string& plain) {
  wimlib_compressor* comp = nullptr;
  EXPECT_EQ(wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, plain.size(), 0, &comp), 0);
  std::string out(plain.size() + 1024, '\0');
  size_t n = wimlib_compress(plain.data(), plain.size(), &out[0], out.size(), comp);
  wimlib_free_compressor(comp);
  EXPECT_GT(n, 0u);
  out.resize(n);
  return out;
}

std::string Plain(size_t size, unsigned seed) {
  std::string s;
  for (size_t i = 0; i < size; ++i) s += static_cast<char>((i * seed + (i >> 5)) % 251 < 120 ? 'a' + i % 13 : (i * seed) >> 3);
  return s;
}

TEST_F(Expand, LzmsBlocksDecodedByteForByte) {
  const std::string one = Plain(70000, 31), two = Plain(12345, 7);
  // Bytes after the last block are no part of it.
  const std::string file =
      Dcs(2, static_cast<uint32_t>(one.size() + two.size()),
          {{Lzms(one), static_cast<uint32_t>(one.size())}, {Lzms(two), static_cast<uint32_t>(two.size())}}) +
      "trailing";
  const std::wstring r = RunOn(file);
  EXPECT_TRUE(EndsWith(r, L"Operation Successful\n")) << r;
  EXPECT_EQ(f.w.FileBytes(kOut), one + two);
}

TEST_F(Expand, LzmsFailuresWriteNothing) {
  const std::string plain = Plain(5000, 3);
  const std::string good = Dcs(1, 5000, {{Lzms(plain), 5000}});
  // A damaged stream.
  std::string bad = good;
  for (size_t i = 20; i < bad.size(); i += 3) bad[i] = static_cast<char>(~bad[i]);
  ExpectRefused(RunOn(bad), L"Error, decompression failure: ");
  // The API handing back fewer bytes than the block holds.
  c.lzmsShortBy = 1;
  ExpectRefused(RunOn(good), L"the block decompressed to 4999 bytes instead of 5000.");
  c.lzmsShortBy = 0;
  f.w.InjectFault(Op::kLzmsCreate, L"", 8);
  ExpectRefused(RunOn(good), L"Error, while creating decompressor: 0x8");
  EXPECT_TRUE(EndsWith(RunOn(good), L"Operation Successful\n"));
  EXPECT_EQ(f.w.FileBytes(kOut), plain);
}
#endif

platform::DeltaHeaderInfo Info() {
  platform::DeltaHeaderInfo i;
  i.targetSize = 3;
  i.targetHashSize = 4;
  i.targetHash = {0xde, 0xad, 0x0b, 0xef};
  return i;
}

TEST(DeltaHeaderInfoLines, TheHashIsShownOnlyWithinItsMaximumSize) {
  platform::DeltaHeaderInfo i = Info();
  EXPECT_TRUE(IContains(FormatDeltaHeaderInfo(i), L" TargetHash->Hash\tdead0bef\r\n"));
  i.targetHashSize = 33;
  const std::wstring over = FormatDeltaHeaderInfo(i);
  EXPECT_TRUE(IContains(over, L"\r\nHash size exceed DELTA_MAX_HASH_SIZE.")) << over;
  EXPECT_FALSE(IContains(over, L"dead0bef"));
}

TEST_F(Expand, DcnAppliedToAnEmptyBasis) {
  c.deltaInfo = Info();
  c.deltaTarget = "abc";
  const std::wstring r = RunOn(std::string("DCN\x01", 4) + "PA30-stream");
  EXPECT_TRUE(IContains(r, L"\r\nDCN_HEADER found, querying delta info.\r\n\r\nDELTA_HEADER_INFO\r\n")) << r;
  ASSERT_EQ(c.applyCalls.size(), 1u);
  EXPECT_EQ(c.applyCalls[0].basis, "");
  EXPECT_EQ(c.applyCalls[0].delta, "PA30-stream");
  EXPECT_EQ(c.infoCalls, std::vector<std::string>{"PA30-stream"});
  EXPECT_EQ(f.w.FileBytes(kOut), "abc");
}

TEST_F(Expand, DeltaFailuresWriteNothing) {
  c.deltaTarget = "abc";
  f.w.InjectFault(Op::kDeltaInfo, L"", 13);
  std::wstring r = RunOn(std::string("DCN\x01", 4) + "PA30-stream");
  EXPECT_TRUE(IContains(r, L"Error query delta info.")) << r;
  EXPECT_TRUE(c.applyCalls.empty());
  ExpectNothingWritten();

  f.w.InjectFault(Op::kDeltaApply, L"", 13);
  ExpectRefused(Run(L"\"" + kIn + L"\" \"" + kOut + L"\""), L"Error, applying the delta failed: 0xD");

  c.delta = {platform::ApiState::kEntryPointsMissing, 127};
  ExpectRefused(Run(L"\"" + kIn + L"\" \"" + kOut + L"\""), L"Required msdelta API are missing");
}

TEST_F(Expand, DcdNeedsTheDeltaForm) {
  const std::string dcd = std::string("DCD\x01", 4) + "12345678" + "PA30-delta";
  std::wstring r = RunOn(dcd);
  EXPECT_TRUE(IContains(r, L"DCD_HEADER found: a delta against a basis file")) << r;
  EXPECT_TRUE(c.applyCalls.empty());
  ExpectNothingWritten();

  // /d basis delta destination: the stream from offset 12 against the basis.
  c.deltaInfo = Info();
  c.deltaTarget = "patched";
  f.w.AddFile(L"C:\\Basis\\old.dll", "old bytes");
  r = Run(L"/D C:\\Basis\\old.dll \"" + kIn + L"\" \"" + kOut + L"\"");
  EXPECT_TRUE(IContains(r, L"\r\nDCD_HEADER found, querying delta info.\r\n\r\nDELTA_HEADER_INFO\r\n")) << r;
  EXPECT_TRUE(EndsWith(r, L"Operation Successful\n")) << r;
  ASSERT_EQ(c.applyCalls.size(), 1u);
  EXPECT_EQ(c.applyCalls[0].basis, "old bytes");
  EXPECT_EQ(c.applyCalls[0].delta, "PA30-delta");
  EXPECT_EQ(f.w.FileBytes(kOut), "patched");

  // Its argument checks, and a DCD whose header is cut short.
  EXPECT_EQ(Run(L"/d C:\\Missing " + kIn + L" " + kOut), L"ZODADO: Source Path not found\n");
  EXPECT_EQ(Run(L"/d C:\\Basis\\old.dll C:\\Missing " + kOut), L"ZODADO: Source Delta Path not found\n");
  EXPECT_EQ(Run(L"/d C:\\Basis\\old.dll C:\\" + std::wstring(1000, L'd') + L" " + kOut),
            L"ZODADO: Source Delta Path is longer than 1000 characters\n");
  f.w.AddFile(L"C:\\Basis\\empty.dll", "");
  EXPECT_EQ(Run(L"/d C:\\Basis\\empty.dll " + kIn + L" C:\\Out\\x"), L"Invalid file size.\n");
  f.w.AddFile(kIn, std::string("DCD\x01", 4) + "1234");
  EXPECT_TRUE(IContains(Run(L"/d C:\\Basis\\old.dll " + kIn + L" C:\\Out\\x"), L"the DCD header is incomplete"));
  EXPECT_FALSE(f.w.Exists(L"C:\\Out\\x"));
}

TEST_F(Expand, DcmNeedsTheVerifiedManifestBasis) {
  c.deltaInfo = Info();
  c.deltaTarget = "<assembly/>";
  const std::string dcm = std::string("DCM\x01", 4) + "PA30-manifest";
  f.w.AddFile(kIn, dcm);
  const std::wstring args = L"\"" + kIn + L"\" \"" + kOut + L"\"";

  std::wstring r = Run(args);
  EXPECT_TRUE(IContains(r, L"DCM_HEADER found, querying delta info.")) << r;
  EXPECT_TRUE(IContains(r, L"The manifest basis is not at hand, this compressed manifest cannot be expanded.")) << r;

  // The right length with the wrong digest, and the wrong length.
  ManifestBasisSource wrong;
  wrong.bytes = std::string(kManifestBasisSize, 'x');
  r = Run(args, wrong);
  EXPECT_TRUE(IContains(r, L"The manifest basis given is not the known one")) << r;
  f.w.AddFile(L"C:\\Archive\\basis.txt", std::string(100, 'x'));
  ManifestBasisSource file;
  file.path = L"C:\\Archive\\basis.txt";
  r = Run(args, file);
  EXPECT_TRUE(IContains(r, L"The manifest basis given is not the known one")) << r;
  file.path = L"C:\\Archive\\none.txt";
  r = Run(args, file);
  EXPECT_TRUE(IContains(r, L"The manifest basis C:\\Archive\\none.txt cannot be read (ERROR_FILE_NOT_FOUND)")) << r;

  EXPECT_TRUE(c.applyCalls.empty());
  ExpectNothingWritten();
}

TEST_F(Expand, ManifestBasisIsReadOncePerRun) {
  c.deltaTarget = "<assembly/>";
  f.w.AddFile(L"C:\\Archive\\basis.txt", std::string(kManifestBasisSize, 'x'));
  ManifestBasisSource basis;
  basis.path = L"C:\\Archive\\basis.txt";
  f.w.InjectFault(Op::kReadFile, L"basis.txt", 5);
  f.w.AddFile(L"C:\\Src\\a.manifest", std::string("DCM\x01", 4) + "PA30-one");
  f.w.AddFile(L"C:\\Src\\b.manifest", std::string("DCM\x01", 4) + "PA30-two");
  const std::wstring r = Run(L"C:\\Src C:\\Out", basis);
  EXPECT_EQ(f.w.PendingFaults(), 0u);
  // The one failed read stands for the whole run.
  const std::wstring sentence = L"The manifest basis C:\\Archive\\basis.txt cannot be read (ERROR_ACCESS_DENIED)";
  const size_t first = r.find(sentence);
  ASSERT_NE(first, std::wstring::npos) << r;
  EXPECT_NE(r.find(sentence, first + 1), std::wstring::npos) << r;
  EXPECT_FALSE(f.w.Exists(L"C:\\Out\\a.manifest"));
  EXPECT_FALSE(f.w.Exists(L"C:\\Out\\b.manifest"));
}

TEST_F(Expand, DirectoryWalk) {
  const std::string mz = "MZ" + std::string(10, 'm');
  f.w.AddFile(L"C:\\Src\\a.dll", mz);
  f.w.AddFile(L"C:\\Src\\sub\\deeper\\b.exe", mz + "b");
  f.w.AddFile(L"C:\\Src\\sub\\unknown.bin", "whatever this is");
  f.w.AddFolder(L"C:\\Src\\empty");
  f.w.AddFile(L"C:\\Elsewhere\\c.dll", mz);
  f.w.AddFolder(L"C:\\Src\\link");
  f.w.MutableNode(L"C:\\Src\\link")->attributes = platform::attr::kDirectory | platform::attr::kReparsePoint;
  f.w.AddFile(L"C:\\Src\\link\\inside.dll", mz);  // what the link would lead to

  std::wstring r = Run(L"C:\\Src C:\\Out");
  EXPECT_TRUE(StartsWith(r, L"Processing target path\tC:\\Src\n")) << r;
  EXPECT_EQ(f.w.FileBytes(L"C:\\Out\\a.dll"), mz);
  EXPECT_EQ(f.w.FileBytes(L"C:\\Out\\sub\\deeper\\b.exe"), mz + "b");
  EXPECT_TRUE(f.w.IsFolder(L"C:\\Out\\empty"));
  EXPECT_FALSE(f.w.Exists(L"C:\\Out\\sub\\unknown.bin"));
  EXPECT_FALSE(f.w.Exists(L"C:\\Out\\link"));
  EXPECT_TRUE(IContains(r, L"C:\\Src\\sub\\unknown.bin => C:\\Out\\sub\\unknown.bin\n")) << r;
  EXPECT_TRUE(IContains(r, L"not following the reparse point C:\\Src\\link")) << r;

  // Detection walks the same tree and makes nothing.
  const std::vector<std::wstring> before = f.w.ListTree(L"C:\\Out");
  r = Run(L"C:\\Src\\ DETECTION_ONLY");
  EXPECT_TRUE(IContains(r, L"C:\\Src\\sub\\deeper\\b.exe => DETECTION_ONLY\n")) << r;
  EXPECT_EQ(f.w.ListTree(L"C:\\Out"), before);

  // Output written into the tree being walked would be walked again.
  f.w.AddFolder(L"C:\\Src\\Out");
  r = Run(L"C:\\SRC\\ C:\\Src\\Out");
  EXPECT_TRUE(EndsWith(r, L"ZODADO: the destination directory lies inside the source directory\n")) << r;
  EXPECT_TRUE(f.w.ListTree(L"C:\\Src\\Out").empty());
  ASSERT_EQ(f.w.platform().fs.RemoveFolder(L"C:\\Src\\Out").code(), 0u);

  // A subfolder that cannot be made is reported and skipped.
  f.w.InjectFault(Op::kCreateFolder, L"Out2\\sub", 5);
  f.w.AddFolder(L"C:\\Out2");
  r = Run(L"C:\\Src C:\\Out2\\");
  EXPECT_TRUE(IContains(r, L"ZODADO: unable to create directory C:\\Out2\\sub\n")) << r;
  EXPECT_FALSE(IContains(r, L"b.exe"));
  EXPECT_EQ(f.w.FileBytes(L"C:\\Out2\\a.dll"), mz);
}

}  // namespace
}  // namespace corvex
