// The registry flash scan against the fake: a COMPONENTS hive file, the
// registry-database server and the collection server on the fake's HTTP,
// the database archive from tests/samples/registry-database.
#include <gtest/gtest.h>

#include "app/flash_scan_services.h"
#include "core/working_folders.h"
#include "online/zip_writer.h"
#include "platform/fake/fake_http.h"
#include "platform/fake/fake_registry.h"
#include "registry/flash_scan.h"
#include "registry/registry_access.h"
#include "sample_files.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;
namespace regtype = platform::regtype;

const std::wstring kCatalogA(64, L'a'), kCatalogB(64, L'b');
const std::wstring kThumb(64, L'c');
const std::wstring kDeployment = L"dep_0000000000000000_1.0.0.0_0000000000000000";
const std::wstring kCompA = L"x86_a_0000000000000000_none_0000000000000000";
const std::wstring kCompZ = L"x86_z_0000000000000000_none_0000000000000000";
const std::wstring kCompNew = L"x86_new_0000000000000000_none_0000000000000000";
const std::wstring kV1 = L"10.0.19041.1", kV2 = L"10.0.22000.1";
const std::wstring kHive = L"C:\\Windows\\System32\\config\\COMPONENTS";
const std::wstring kDownload = L"https://tallwen.net/db/registry-5.7z";

// Registry-file text for the fake's hive files.
struct HiveText {
  std::wstring text;
  HiveText& Key(const std::wstring& path) {
    text += L"\r\n[" + path + L"]\r\n";
    return *this;
  }
  HiveText& Value(const std::wstring& name, uint32_t type, const std::string& data) {
    text += fake::RegFileValueLine({name, type, data}) + L"\r\n";
    return *this;
  }
};

std::string Dword(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// The live store: what the fixture's database knows, and a little more.
std::wstring LiveStore() {
  HiveText h;
  h.Key(L"CanonicalData\\Catalogs\\" + kCatalogA).Value(L"c!known_x", regtype::kBinary, "");
  h.Key(L"CanonicalData\\Catalogs\\" + kCatalogB).Value(L"c!new_y", regtype::kBinary, "");
  h.Key(L"CanonicalData\\Deployments\\" + kDeployment)
      .Value(L"appid", regtype::kBinary, "App")
      .Value(L"CatalogThumbprint", regtype::kSz, ToUtf16Le(kThumb) + std::string(2, '\0'))
      .Value(L"p!CBS_x", regtype::kBinary, "\x01\x02");
  for (auto [name, hash, file] : {std::tuple{kCompA, std::string("\x00\xff", 2), "a.dll"},
                                  std::tuple{kCompZ, std::string("\x00\x01", 2), "b.dll"},
                                  std::tuple{kCompNew, std::string("\x00\x02", 2), "c.dll"}}) {
    h.Key(L"DerivedData\\Components\\" + name)
        .Value(L"identity", regtype::kBinary, "Id")
        .Value(L"S256H", regtype::kBinary, hash)
        .Value(L"c!cat", regtype::kBinary, "")
        .Value(std::wstring(L"f!") + FromUtf8(file), regtype::kBinary, file);
  }
  const std::wstring families = L"DerivedData\\VersionedIndex\\";
  h.Key(families + kV1 + L"\\ComponentFamilies\\fam1").Value(L"f256!a.dll", regtype::kBinary, "h#");
  h.Key(families + kV1 + L"\\ComponentFamilies\\fam1\\v!1.0.0.0").Value(L"SF", regtype::kDword, Dword(1));
  h.Key(families + kV2 + L"\\ComponentFamilies\\fam2");
  return h.text;
}

struct FlashScanRun {
  FakeSession f;
  OnlineFlashScanServices services{f.s};
  std::string answer = "5," + ToUtf8(kDownload);
  uint32_t uploadStatus = 200;

  FlashScanRun() {
    f.s.programPath = L"C:\\Tools\\Corvex.exe";
    f.w.AddFile(f.s.programPath, "MZ program00000042");
    f.s.programVersion = L"1.2.3.4";
    f.s.versionKnown = true;
    f.w.registry().WriteHiveFile(kHive, LiveStore());
    f.w.http().handler = [this](const fake::FakeHttpRequest& r) -> platform::HttpReply {
      if (r.url.find(L"fetchdbdownloadlink") != std::wstring::npos) return {200, answer};
      if (r.url == kDownload) return {200, ReadSample("registry-database/database.7z")};
      if (r.method == L"POST") return {uploadStatus, "OK"};
      if (r.url.find(L"do=prepare") != std::wstring::npos) return {200, "123"};
      if (r.url.find(L"do=finalize") != std::wstring::npos) return {200, "OK"};
      return {404, "<html>404</html>"};
    };
  }

  std::wstring W(const std::wstring& name) { return WorkingFolder(f.s) + L"\\" + name; }
  std::wstring Pending(const std::wstring& name) {
    return W(L"WindowsUpdateRegistryDatabase\\PendingSubmission\\" + name);
  }
  // A submission file's lines, decoded.
  std::wstring Submitted(const std::wstring& name) { return f.Utf16File(Pending(name)); }
  std::vector<std::wstring> Urls() {
    std::vector<std::wstring> urls;
    for (auto& r : f.w.http().requests) urls.push_back(r.method + L" " + r.url);
    return urls;
  }
  size_t Posts() {
    size_t n = 0;
    for (auto& r : f.w.http().requests) n += r.method == L"POST";
    return n;
  }
  void Consent() {
    ASSERT_TRUE(WriteWorkingFile(f.s, L"RegistryDatabaseApprovalReceived", L"", TextEncoding::kEightBit).ok());
  }
  // The fixture's database as held from an earlier run.
  void HoldDatabase(const std::wstring& version) {
    for (const char* name : {"catalogs.txt", "deployments.txt", "components.txt", "versionedIndexes"})
      f.w.AddFile(W(L"WindowsUpdateRegistryDatabase\\") + FromUtf8(name),
                  ReadSample(std::string("registry-database/files/") + name));
    ASSERT_TRUE(WriteWorkingFile(f.s, L"registryDatabaseVersion.txt", version).ok());
  }
  // Consent given, database 4 held and no newer one published.
  void HoldCurrentDatabase() {
    Consent();
    HoldDatabase(L"4");
    answer = "No Update Available";
  }
};

class ScanFixture : public ::testing::Test, public FlashScanRun {};

TEST_F(ScanFixture, SubmitsOnlyWhatTheDatabaseLacksOrKnowsDifferentlyAndRunsOnce) {
  f.w.FeedKeys(L"y");
  EXPECT_TRUE(RunRegistryFlashScan(f.s, services));

  auto urls = Urls();
  ASSERT_GE(urls.size(), 2u);
  EXPECT_EQ(urls[0],
            L"GET https://tallwen.net/forums/CorvexRegistryDatabase.php?do=fetchdbdownloadlink&majorminor=100"
            L"&dbversion=0&build=19045");
  EXPECT_FALSE(f.w.Exists(W(L"QuillmereWindowsUpdateRegistryDatabase.7z")));
  EXPECT_TRUE(f.w.Exists(W(L"RegistryDatabaseApprovalReceived")));

  // Catalog b is unknown; component z differs (its database line comes
  // first, out of order); the new component is unknown; the second version
  // key has no database and goes whole. The deployment, catalog a,
  // component a and the first version's family are known as they are.
  EXPECT_EQ(Submitted(L"catalogs.txt"), kCatalogB + L"|c!new_y\r\n");
  EXPECT_EQ(Submitted(L"components.txt"),
            kCompNew + L"[-]Id[-]0002[-]c!cat[-]f!c.dll|c.dll|3|5\r\n" +
                kCompZ + L"[-]Id[-]0001[-]c!cat[-]f!b.dll|b.dll|3|5\r\n");
  EXPECT_EQ(Submitted(L"versionedIndexes_" + kV2 + L".txt"), L"fam2[-]0[--]\r\n");
  EXPECT_FALSE(f.w.Exists(Pending(L"deployments.txt")));
  EXPECT_FALSE(f.w.Exists(Pending(L"versionedIndexes_" + kV1 + L".txt")));
  EXPECT_EQ(Submitted(L"systemInfo.txt"), L"10.0,19045\r\n1.2.3.4");
  EXPECT_GT(f.w.FileBytes(Pending(L"RegistryFlashScanSubmission.zip")).size(), kEmptyZipSize);
  EXPECT_TRUE(testing::Holds(f.w.ConsoleText(), L"Scan completed successfully.\n\n"));

  // Once per machine.
  const size_t requests = f.w.http().requests.size();
  f.w.ClearConsoleText();
  EXPECT_TRUE(RunRegistryFlashScan(f.s, services));
  EXPECT_EQ(f.w.http().requests.size(), requests);
  EXPECT_EQ(f.w.ConsoleText(), L"");
}

TEST_F(ScanFixture, DecliningContactsNoServerAndIsNotAskedAgain) {
  f.w.FeedKeys(L"\bn");
  EXPECT_TRUE(RunRegistryFlashScan(f.s, services));
  EXPECT_TRUE(f.w.http().requests.empty());
  EXPECT_TRUE(f.w.Exists(W(L"RegistryDatabaseAlreadyRun")));
  EXPECT_FALSE(f.w.Exists(W(L"RegistryDatabaseApprovalReceived")));
  f.w.FeedKeys(L"y");
  EXPECT_TRUE(RunRegistryFlashScan(f.s, services));
  EXPECT_TRUE(f.w.http().requests.empty());
}

// Only digits, a comma and an address the program may fetch is a download;
// anything else is the server failing, and the held database serves. An
// empty answer or "Failed" has no comma either, as the error page has.
TEST(FlashScan, AnswersThatAreNoDownloadAreServerFailures) {
  const std::string download = ToUtf8(kDownload);
  for (const std::string& bad :
       std::vector<std::string>{"<html>500</html>", "5,ftp://x/db.7z", "5a," + download,
                                "5,http://tallwen.net/db.7z", "5," + download + " extra"}) {
    SCOPED_TRACE(bad);
    FlashScanRun t;
    t.Consent();
    t.HoldDatabase(L"4");
    t.answer = bad;
    EXPECT_TRUE(RunRegistryFlashScan(t.f.s, t.services)) << "the stages themselves went well";
    EXPECT_TRUE(testing::Holds(t.f.w.ConsoleText(), L"\n  Stage 1 of 6 failed on server"));
    EXPECT_TRUE(testing::Holds(t.f.w.ConsoleText(), L"\nScan completed with warnings.\n\n"));
    for (auto& u : t.Urls()) EXPECT_EQ(u.find(L".7z"), std::wstring::npos) << u;
    EXPECT_EQ(ReadWorkingFile(t.f.s, L"registryDatabaseVersion.txt").value_or(L""), L"4");
    EXPECT_EQ(t.Submitted(L"catalogs.txt"), kCatalogB + L"|c!new_y\r\n");
  }
}

TEST_F(ScanFixture, RefusalOrABrokenArchiveEndsTheScanAndKeepsTheHeldDatabase) {
  Consent();
  HoldDatabase(L"4");
  answer = "Rejected by Server";
  EXPECT_FALSE(RunRegistryFlashScan(f.s, services));
  EXPECT_TRUE(testing::Holds(f.w.ConsoleText(), L"\n  No action needed"));
  EXPECT_FALSE(f.w.Exists(Pending(L"catalogs.txt")));

  ASSERT_TRUE(f.s.os.fs.DeleteFile(W(L"RegistryDatabaseAlreadyRun")).ok());
  f.w.http().handler = [](const fake::FakeHttpRequest& r) -> platform::HttpReply {
    if (r.url.find(L"fetchdbdownloadlink") != std::wstring::npos) return {200, "6," + ToUtf8(kDownload)};
    std::string archive = ReadSample("registry-database/database.7z");
    archive[archive.size() / 2] ^= 0x55;
    return {200, archive};
  };
  EXPECT_FALSE(RunRegistryFlashScan(f.s, services));
  EXPECT_EQ(ReadWorkingFile(f.s, L"registryDatabaseVersion.txt").value_or(L""), L"4");
  EXPECT_EQ(f.w.FileBytes(W(L"WindowsUpdateRegistryDatabase\\catalogs.txt")),
            ReadSample("registry-database/files/catalogs.txt"));
  EXPECT_FALSE(f.w.Exists(W(L"QuillmereWindowsUpdateRegistryDatabase.7z")));
  EXPECT_FALSE(f.w.Exists(W(L"WindowsUpdateRegistryDatabase.new")));
  EXPECT_FALSE(f.w.Exists(Pending(L"catalogs.txt")));
}

// Without its database file a tree is checked but not submitted whole.
TEST_F(ScanFixture, ATreeWithoutItsDatabaseIsNotSubmitted) {
  HoldCurrentDatabase();
  ASSERT_TRUE(f.s.os.fs.DeleteFile(W(L"WindowsUpdateRegistryDatabase\\catalogs.txt")).ok());
  f.w.AddFile(W(L"WindowsUpdateRegistryDatabase\\components.txt"),
              ReadSample("registry-database/files/components.txt") + "short[-]line\r\n" +
                  std::string(12, '*') + "deep[-]i[-]s[-]c\r\n");
  EXPECT_TRUE(RunRegistryFlashScan(f.s, services));
  EXPECT_FALSE(f.w.Exists(Pending(L"catalogs.txt")));
  EXPECT_TRUE(
      testing::Holds(f.s.flashScanReport, L"The registry database file catalogs.txt could not be read (error code 2)"));
  EXPECT_TRUE(testing::Holds(f.s.flashScanReport,
                             L"WARNING: 2 lines of the registry database file components.txt could not be "
                             L"read and were skipped.\r\n"));
  EXPECT_TRUE(testing::Holds(Submitted(L"components.txt"), kCompZ));
}

TEST_F(ScanFixture, ZipAndUploadFailuresLeaveWarnings) {
  HoldCurrentDatabase();
  f.w.InjectFault(Op::kWriteFile, L"RegistryFlashScanSubmission.zip", 5);
  EXPECT_FALSE(RunRegistryFlashScan(f.s, services));
  EXPECT_TRUE(testing::Holds(f.w.ConsoleText(), L"\nFailed to create zip file with errno "));
  EXPECT_EQ(Posts(), 0u) << "a zip missing a part is not sent";
  EXPECT_TRUE(testing::Holds(f.w.ConsoleText(), L"\nScan completed with warnings."));

  ASSERT_TRUE(f.s.os.fs.DeleteFile(W(L"RegistryDatabaseAlreadyRun")).ok());
  f.w.http().requests.clear();
  f.w.ClearConsoleText();
  uploadStatus = 500;
  EXPECT_FALSE(RunRegistryFlashScan(f.s, services));
  EXPECT_EQ(Posts(), 1u);
  EXPECT_TRUE(testing::Holds(f.w.ConsoleText(), L"\nScan completed with warnings."));
}

// A hive Windows already holds loaded is read where it is; key failures
// are sentences and the walk goes on.
TEST_F(ScanFixture, LoadedHiveAndKeyFailures) {
  HoldCurrentDatabase();
  Ran(LoadHiveDirective, f, {L"COMPONENTS"});
  f.w.InjectFault(Op::kOpenKey, L"Deployments", 5);
  f.w.InjectFault(Op::kOpenKey, kCatalogA, 1018);
  EXPECT_FALSE(RunRegistryFlashScan(f.s, services));
  EXPECT_EQ(f.s.flashScanReport.find(L"location 1."), std::wstring::npos);
  EXPECT_TRUE(
      testing::Holds(f.s.flashScanReport, L"Failed to process registry database in location 4 with error code 5.\r\n"));
  EXPECT_TRUE(testing::Holds(f.s.flashScanReport,
                             L"Failed to process registry database in location 6 with error code 1018.\r\n"));
  EXPECT_EQ(Submitted(L"catalogs.txt"), kCatalogB + L"|c!new_y\r\n");
}

TEST_F(ScanFixture, AMissingHiveFailsTheWalkButNotTheRun) {
  HoldCurrentDatabase();
  ASSERT_TRUE(f.s.os.fs.DeleteFile(kHive).ok());
  EXPECT_FALSE(RunRegistryFlashScan(f.s, services));
  EXPECT_TRUE(testing::Holds(f.s.flashScanReport, L"Failed to process registry database in location 1.\r\n"));
  EXPECT_EQ(Posts(), 0u);
}

}  // namespace
}  // namespace corvex
