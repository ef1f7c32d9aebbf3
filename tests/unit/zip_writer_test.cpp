// The zip writer, read back through the program's own zip reader, and the
// collection ID in the program file's tail.
#include <gtest/gtest.h>

#include <map>

#include "online/collection_id.h"
#include "online/zip_writer.h"
#include "script/zip_reader.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;
using testing::Noise;

// name -> content ("/" for folders); an error text under the key "!".
std::map<std::wstring, std::string> ReadBack(FakeSession& f, const std::wstring& zip) {
  std::map<std::wstring, std::string> out;
  auto file = f.s.os.fs.Open(zip, platform::access::kRead, platform::share::kRead,
                             platform::Disposition::kOpenExisting);
  if (!file.ok()) return {{L"!", "cannot open"}};
  ZipReader reader(**file, zip);
  ZipListing listing = reader.Parse();
  if (!listing.error.empty()) return {{L"!", ToUtf8(listing.error)}};
  for (ZipEntry& e : listing.entries) {
    if (e.folder) {
      out[e.name] = "/";
      continue;
    }
    std::string data;
    std::wstring error = reader.Locate(e);
    if (error.empty()) error = reader.Inflate(e, [&](const std::string& piece) { data += piece; return L""; });
    out[e.name] = error.empty() ? data : "!" + ToUtf8(error);
  }
  return out;
}

const std::wstring kLogsZip = L"C:\\Out\\logs.zip";

// Into the empty archive Collect:: starts with; a new one is made in
// EntryCountBeyond16BitsGetsZip64Records.
TEST(ZipWriter, FilesAndFoldersRoundTripAndAppend) {
  FakeSession f;
  f.w.AddFile(kLogsZip, EmptyZipRecord());
  const std::string big = Noise(3 * 1024 * 1024 + 17, 7) + std::string(2 * 1024 * 1024, 'a');  // several blocks
  f.w.AddFile(L"C:\\Windows\\Logs\\CBS\\CBS.log", big);
  f.w.AddFile(L"C:\\Windows\\Logs\\CBS\\Old\\CbsPersist_1.log", "persist");
  f.w.AddFile(L"C:\\Windows\\Logs\\CBS\\empty.txt", "");
  f.w.AddFile(L"C:\\Temp\\h\xE9.txt", "accent");
  auto now = f.s.os.env.Now();

  ASSERT_TRUE(AddPathToZip(f.s.os.fs, kLogsZip, L"C:\\Windows\\Logs\\CBS", now).ok());
  ASSERT_TRUE(AddPathToZip(f.s.os.fs, kLogsZip, L"C:\\Temp\\h\xE9.txt", now).ok());
  std::map<std::wstring, std::string> want = {{L"CBS", "/"},
                                              {L"CBS\\CBS.log", big},
                                              {L"CBS\\Old", "/"},
                                              {L"CBS\\Old\\CbsPersist_1.log", "persist"},
                                              {L"CBS\\empty.txt", ""},
                                              {L"h\xE9.txt", "accent"}};
  EXPECT_EQ(ReadBack(f, kLogsZip), want);
  EXPECT_FALSE(f.w.Exists(kLogsZip + L".new"));
  EXPECT_LT(f.w.FileBytes(kLogsZip).size(), big.size());  // deflated, not stored
}

TEST(ZipWriter, DuplicateNamesAndFailuresLeaveTheArchiveAsItWas) {
  FakeSession f;
  f.w.AddFile(L"C:\\One\\Report.txt", "one");
  f.w.AddFile(L"C:\\Two\\REPORT.TXT", "two");
  f.w.AddFile(L"C:\\Two\\other.txt", "other");
  auto now = f.s.os.env.Now();
  ASSERT_TRUE(AddPathToZip(f.s.os.fs, L"C:\\z.zip", L"C:\\One\\Report.txt", now).ok());
  const std::string before = f.w.FileBytes(L"C:\\z.zip");

  EXPECT_EQ(AddPathToZip(f.s.os.fs, L"C:\\z.zip", L"C:\\Two\\REPORT.TXT", now).code(), platform::err::kAlreadyExists);
  // A write failing part-way, and the move failing at the end.
  f.w.InjectFault(fake::Op::kWriteFile, L"z.zip.new", 112, 1, 1);
  EXPECT_EQ(AddPathToZip(f.s.os.fs, L"C:\\z.zip", L"C:\\Two\\other.txt", now).code(), 112u);
  f.w.InjectFault(fake::Op::kMoveFile, L"z.zip.new", 5);
  EXPECT_EQ(AddPathToZip(f.s.os.fs, L"C:\\z.zip", L"C:\\Two\\other.txt", now).code(), 5u);
  EXPECT_EQ(f.w.FileBytes(L"C:\\z.zip"), before);
  EXPECT_FALSE(f.w.Exists(L"C:\\z.zip.new"));

  // Not an archive: refused, untouched.
  f.w.AddFile(L"C:\\bad.zip", "not a zip at all, not even close");
  EXPECT_EQ(AddPathToZip(f.s.os.fs, L"C:\\bad.zip", L"C:\\Two\\other.txt", now).code(), 13u);
  EXPECT_EQ(f.w.FileBytes(L"C:\\bad.zip"), "not a zip at all, not even close");
}

TEST(ZipWriter, EntryCountBeyond16BitsGetsZip64Records) {
  FakeSession f;
  f.w.AddFile(L"C:\\x", "x");
  auto w = ZipWriter::Open(f.s.os.fs, L"C:\\many.zip", f.s.os.env.Now());
  ASSERT_TRUE(w.ok());
  for (int i = 0; i < 0x10000; ++i) ASSERT_TRUE((*w)->AddFolder(L"d" + std::to_wstring(i)).ok());
  ASSERT_TRUE((*w)->AddFile(L"C:\\x", L"last\\x").ok());
  ASSERT_TRUE((*w)->Commit().ok());
  w->reset();
  auto back = ReadBack(f, L"C:\\many.zip");
  EXPECT_EQ(back.size(), 0x10001u);
  EXPECT_EQ(back[L"last\\x"], "x");
  EXPECT_EQ(back[L"d65535"], "/");
}

// Program files with and without the reserved tail.
TEST(CollectionId, StampAndReadBackOnlyOverDigits) {
  FakeSession f;
  auto& fs = f.s.os.fs;
  const std::string body = "MZ" + Noise(3 * 1024 * 1024, 3);  // more than one copy block
  f.w.AddFile(L"C:\\p.exe", body + "00000000");
  EXPECT_EQ(ReadCollectionId(fs, L"C:\\p.exe"), L"0");
  ASSERT_TRUE(StampCollectionId(fs, L"C:\\p.exe", L"4321").ok());
  EXPECT_EQ(f.w.FileBytes(L"C:\\p.exe"), body + "00004321");
  EXPECT_EQ(ReadCollectionId(fs, L"C:\\p.exe"), L"4321");
  ASSERT_TRUE(CopyWithCollectionId(fs, L"C:\\p.exe", L"C:\\q.exe", L"87654321").ok());
  EXPECT_EQ(ReadCollectionId(fs, L"C:\\q.exe"), L"87654321");

  // A program without the tail is never written to; its ID reads as none.
  f.w.AddFile(L"C:\\plain.exe", body + "x1234567");
  EXPECT_EQ(StampCollectionId(fs, L"C:\\plain.exe", L"5").code(), 13u);
  EXPECT_EQ(f.w.FileBytes(L"C:\\plain.exe"), body + "x1234567");
  EXPECT_EQ(ReadCollectionId(fs, L"C:\\plain.exe"), L"0");
  EXPECT_EQ(ReadCollectionId(fs, L"C:\\missing.exe"), L"");
  // Not an ID: nothing written.
  for (const wchar_t* bad : {L"", L"123456789", L"12a", L"-1"})
    EXPECT_EQ(StampCollectionId(fs, L"C:\\p.exe", bad).code(), 13u) << bad;
  EXPECT_EQ(ReadCollectionId(fs, L"C:\\p.exe"), L"4321");
}

// Any other text ("Failed", an error page) fails the digit test as "-1" does.
TEST(CollectionId, OnlyOneToEightDigitsAreAnId) {
  const std::pair<const char*, const wchar_t*> cases[] = {
      {"12345", L"12345"}, {"00000042\r\n", L"42"}, {" 7 ", L"7"}, {"12345678", L"12345678"},
      {"123456789", L""},  {"-1", L""}, {"", L""}, {"0", L""}, {"12 34", L""},
  };
  for (auto& c : cases) EXPECT_EQ(ParseCollectionId(c.first), c.second) << c.first;
}

}  // namespace
}  // namespace corvex
