// The Windows Update database against the fake: the database host on the
// fake's HTTP, the archive made with the zip writer.
#include <gtest/gtest.h>

#include <tuple>

#include "analysis/update_database.h"
#include "app/download_services_online.h"
#include "core/working_folders.h"
#include "package_fixtures.h"
#include "platform/fake/fake_http.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;
using testing::MakeZip;

const std::wstring kDatabaseVersionUrl =
    L"https://downloads.tallwen.net/windows-update-database/QuillmereWindowsUpdateDatabaseVersion.txt?dl=1";
const std::wstring kArchiveUrl =
    L"https://downloads.tallwen.net/windows-update-database/QuillmereWindowsUpdateDatabase.zip?dl=1";
const char kOldIndex[] = "old.dll|PayloadDatabase1.txt\r\n";
const char kNewIndex[] = "new.dll|PayloadDatabase1.txt\r\n";
const char kOldManifests[] = "old.manifest|KB0|x\r\n";
const char kNewManifests[] = "new.manifest|KB1|x\r\n";
// The index, the manifest table and the version held, before and after an update.
using Tables = std::tuple<std::string, std::string, std::wstring>;
const Tables kOld{kOldIndex, kOldManifests, L"1.0"};
const Tables kNew{kNewIndex, kNewManifests, L"1.2.10"};

struct Db {
  FakeSession f;
  OnlineDownloadServices services{f.s};
  std::string published = "1.2.10";
  std::string archive = MakeZip({{L"IndexedLookupTable.txt", kNewIndex},
                                 {L"ManifestDatabase.txt", kNewManifests},
                                 {L"PayloadDatabase1.txt", "new.dll|KB1|x\r\n"}});

  // Holding the tables of `held` (none when empty), with `keys` to answer.
  explicit Db(const std::wstring& held = L"", const wchar_t* keys = L"") {
    if (!held.empty()) Hold(held);
    f.w.FeedKeys(keys);
    f.w.http().handler = [this](const fake::FakeHttpRequest& r) -> platform::HttpReply {
      if (r.url == kDatabaseVersionUrl) return {200, published};
      if (r.url == kArchiveUrl) return {200, archive};
      return {404, "<html>404</html>"};
    };
  }

  std::wstring W(const std::wstring& name) { return WorkingFolder(f.s) + L"\\" + name; }
  std::wstring Table(const std::wstring& name) { return W(L"WindowsUpdateDatabase\\" + name); }
  void Hold(const std::wstring& version, const std::string& index = kOldIndex) {
    f.w.AddFile(Table(L"IndexedLookupTable.txt"), index);
    f.w.AddFile(Table(L"ManifestDatabase.txt"), kOldManifests);
    ASSERT_TRUE(WriteWorkingFile(f.s, L"databaseVersion.txt", version).ok());
  }
  std::wstring HeldVersion() { return f.Utf16File(W(L"databaseVersion.txt")); }
  Tables Held() {
    return {f.w.FileBytes(Table(L"IndexedLookupTable.txt")), f.w.FileBytes(Table(L"ManifestDatabase.txt")),
            HeldVersion()};
  }
  size_t Requests(const std::wstring& url) { return testing::Requested(f.w, url); }
};

class DbFixture : public ::testing::Test, public Db {};

TEST(UpdateDatabaseVersion, ComparesFieldByField) {
  struct Case {
    const wchar_t *a, *b;
    int order;
  } cases[] = {
      {L"1.2.3", L"1.2.10", -1},  // 123 < 1210 and 3 < 10 agree here ...
      {L"1.3", L"1.2.10", 1},     // ... but not here: 13 < 1210, yet 1.3 is newer
      {L"1.2", L"1.2.0", 0},
  };
  for (const Case& c : cases) {
    auto a = ParseDatabaseVersion(c.a);
    auto b = ParseDatabaseVersion(c.b);
    ASSERT_TRUE(a && b) << c.a << L" " << c.b;
    EXPECT_EQ(CompareDatabaseVersions(*a, *b), c.order) << c.a << L" against " << c.b;
    EXPECT_EQ(CompareDatabaseVersions(*b, *a), -c.order) << c.b << L" against " << c.a;
  }
  for (const wchar_t* bad : {L"", L"1..2", L"1.2.", L".1", L"v1.2", L"1.2\r\n3", L"1 .2", L"-1", L"1234567890",
                             L"<html>", L"1,2"})
    EXPECT_FALSE(ParseDatabaseVersion(bad)) << bad;
}

TEST_F(DbFixture, FirstDownloadAsksWithTheFirstDownloadTextAndInstallsTheTables) {
  f.w.FeedKeys(L"y\r");
  EXPECT_EQ(EnsureUpdateDatabase(f.s, services), DatabaseCheck::kInstalled);

  const std::wstring console = f.w.ConsoleText();
  EXPECT_TRUE(testing::Holds(console, L"Would you like to allow a download to occur?"));
  EXPECT_EQ(console.find(L"released an update"), std::wstring::npos);
  EXPECT_EQ(f.w.FileBytes(Table(L"IndexedLookupTable.txt")), kNewIndex);
  EXPECT_EQ(f.w.FileBytes(Table(L"PayloadDatabase1.txt")), "new.dll|KB1|x\r\n");
  EXPECT_EQ(HeldVersion(), L"1.2.10");
  // Both files are fetched afresh, never from the URL cache.
  auto& removed = f.w.http().cacheRemovals;
  EXPECT_NE(std::find(removed.begin(), removed.end(), kDatabaseVersionUrl), removed.end());
  EXPECT_NE(std::find(removed.begin(), removed.end(), kArchiveUrl), removed.end());
}

// A newer published version asks with the update text. Backspace replaces
// the answer; the end of input at the prompt is no. No keeps the old tables
// and their version, so a later run offers the update again.
TEST_F(DbFixture, AnswersAtThePrompt) {
  for (auto [keys, wanted] :
       {std::pair{L"n\r", DatabaseCheck::kDeclined}, std::pair{L"n\by\r", DatabaseCheck::kInstalled},
        std::pair{L"y\bn\r", DatabaseCheck::kDeclined}, std::pair{L"y\b\bY\r", DatabaseCheck::kInstalled},
        std::pair{L"", DatabaseCheck::kDeclined}}) {
    Db d(L"1.0", keys);
    const bool installed = wanted == DatabaseCheck::kInstalled;
    EXPECT_EQ(EnsureUpdateDatabase(d.f.s, d.services), wanted) << keys;
    EXPECT_TRUE(testing::Holds(d.f.w.ConsoleText(), L"released an update")) << keys;
    EXPECT_EQ(d.Requests(kArchiveUrl), installed ? 1u : 0u) << keys;
    EXPECT_EQ(d.Held(), installed ? kNew : kOld) << keys;
  }
}

TEST_F(DbFixture, PublishedVersionsNotNewerOrNoVersionAtAllAskNothing) {
  // How versions compare is ComparesFieldByField's; here an equal one and an
  // older one are current.
  for (auto [held, remote] : {std::pair{L"1.2.10", "1.2.10"}, std::pair{L"1.3", "1.2.10"}}) {
    Hold(held);
    published = remote;
    EXPECT_EQ(EnsureUpdateDatabase(f.s, services), DatabaseCheck::kCurrent) << held << L" " << remote;
    EXPECT_EQ(HeldVersion(), held);
  }
  Hold(L"1.0");
  for (const char* reply : {"<html><body>Moved</body></html>", "1.2.10\r\n<script>", "", "1.2.x"}) {
    published = reply;
    EXPECT_EQ(EnsureUpdateDatabase(f.s, services), DatabaseCheck::kNoVersion) << reply;
  }
  f.w.InjectFault(Op::kHttpDownload, L"Version.txt", 12029);
  EXPECT_EQ(EnsureUpdateDatabase(f.s, services), DatabaseCheck::kNoVersion);
  EXPECT_EQ(f.w.keysRead, 0);
  EXPECT_EQ(Requests(kArchiveUrl), 0u);
  EXPECT_EQ(HeldVersion(), L"1.0");
}

TEST_F(DbFixture, ArchiveWithoutTheTablesOrDamagedIsNotSwappedIn) {
  const std::string good = archive;
  std::string truncated = good.substr(0, good.size() / 2);
  std::string climbing = MakeZip({{L"IndexedLookupTable.txt", kNewIndex}, {L"ManifestDatabase.txt", "m|a|b"}});
  // The same length as "ManifestDatabase.txt", so the zip stays whole.
  for (size_t at = climbing.find("ManifestDatabase.txt"); at != std::string::npos;
       at = climbing.find("ManifestDatabase.txt", at + 1))
    climbing.replace(at, 20, "..\\..\\..\\..\\..\\x.txt");
  for (const std::string& bad : {MakeZip({{L"readme.txt", "hello"}}), truncated, climbing, std::string("PK")}) {
    Db d(L"1.0", L"y");
    d.archive = bad;
    EXPECT_EQ(EnsureUpdateDatabase(d.f.s, d.services), DatabaseCheck::kFailed);
    EXPECT_EQ(d.Held(), kOld);
    EXPECT_FALSE(d.f.w.Exists(d.Table(L"readme.txt")));
    EXPECT_FALSE(d.f.w.Exists(d.W(L"QuillmereWindowsUpdateDatabase.zip")));
    EXPECT_FALSE(d.f.w.Exists(d.W(L"WindowsUpdateDatabase.new")));
  }
}

// Every step under the working folder fails in turn: the outcome is the old
// tables with the old version, or the new tables with the new version.
TEST_F(DbFixture, AFaultAtAnyStepLeavesTheOldDatabaseOrTheWholeNewOne) {
  int failedRuns = 0, installedRuns = 0;
  for (int skip = 0; skip < 400; ++skip) {
    Db d(L"1.0", L"y");
    d.f.w.InjectFault(Op::kAny, WorkingFolder(d.f.s), 5, 1, skip);
    DatabaseCheck result = EnsureUpdateDatabase(d.f.s, d.services);
    const bool fired = d.f.w.PendingFaults() == 0;
    const bool installed = result == DatabaseCheck::kInstalled;
    (installed ? installedRuns : failedRuns) += 1;
    EXPECT_EQ(d.Held(), installed ? kNew : kOld) << skip;
    if (!fired) {
      EXPECT_EQ(result, DatabaseCheck::kInstalled);
      break;
    }
  }
  EXPECT_GT(failedRuns, 5);
  EXPECT_GT(installedRuns, 0);
}

// The process dies at each step in turn; the next run finds the old
// tables or the new ones, never none, and never a version newer than them.
TEST_F(DbFixture, ACrashAtAnyStepLeavesTablesTheNextRunCanUse) {
  int steps = 0;
  for (;; ++steps) {
    Db d(L"1.0", L"y");
    d.f.w.InjectCrash(Op::kAny, WorkingFolder(d.f.s), steps);
    bool crashed = false;
    try {
      EnsureUpdateDatabase(d.f.s, d.services);
    } catch (const fake::SimulatedCrash&) {
      crashed = true;
    }
    d.f.w.ClearFaults();
    Session next(d.f.w.platform());
    OnlineDownloadServices nextServices(next);
    d.f.w.FeedKeys(L"n");
    EnsureUpdateDatabase(next, nextServices);
    const std::string index = d.f.w.FileBytes(d.Table(L"IndexedLookupTable.txt"));
    EXPECT_TRUE(index == kOldIndex || index == kNewIndex) << "after a crash at step " << steps;
    if (d.HeldVersion() == L"1.2.10") {
      EXPECT_EQ(index, kNewIndex) << "after a crash at step " << steps;
    }
    EXPECT_FALSE(d.f.w.Exists(d.W(L"WindowsUpdateDatabase.old"))) << "after a crash at step " << steps;
    if (!crashed || steps > 2000) break;
  }
  EXPECT_GT(steps, 20);
}

TEST_F(DbFixture, IndexLookupMatchesWholeKeysWhateverTheOrderAndDropsCarriageReturns) {
  // Without tables nothing is found.
  f.s.analysis.updateDatabaseChecked = true;
  EXPECT_EQ(LookUpIndex(f.s, {L"x.dll"}).at(0), std::nullopt);
  EXPECT_EQ(LookUpUpdateDatabase(f.s, services, {L"x.dll"}, UpdateDatabaseMode::kManifest),
            (std::vector<std::vector<std::wstring>>{{}}));
  Hold(L"1.0",
       "abcd|PayloadDatabase3.txt|extra\r\n"
       "abc|PayloadDatabase2.txt\r\n"
       "abc.dll|PayloadDatabase1.txt\r\n"
       "nobar\r\n"
       "|PayloadDatabase9.txt\r\n"
       "ab\r\n");
  auto values = LookUpIndex(f.s, {L"abc.dll", L"abc", L"ab", L"abcd", L"missing", L"", L"abc"});
  // "ab" has no "|": no value.
  EXPECT_EQ(values, (std::vector<std::optional<std::wstring>>{L"PayloadDatabase1.txt", L"PayloadDatabase2.txt",
                                                               std::nullopt, L"PayloadDatabase3.txt", std::nullopt,
                                                               std::nullopt, L"PayloadDatabase2.txt"}));
}

TEST_F(DbFixture, TableLookupsByModeAfterOneVersionCheck) {
  Hold(L"1.2.10",
       "x.dll|PayloadDatabase1.txt\r\n"
       "y.dll|PayloadDatabase2.txt\r\n"
       "evil.dll|..\\evil.txt\r\n"
       "far.dll|PayloadDatabase\\..\\..\\evil.txt\r\n");
  f.w.AddFile(Table(L"ManifestDatabase.txt"),
              "\xEF\xBB\xBFx.manifest|KB1|p1\r\n"
              "x.manifest.bak|KB2|p2\r\n"
              "x.manifest|short\r\n"
              "x.manifest|KB3|p3\r\r\n");
  f.w.AddFile(Table(L"PayloadDatabase1.txt"), "x.dll|KB4|q\nx.dllx|KB5|q\n");
  f.w.AddFile(Table(L"PayloadDatabase2.txt"), "y.dll|KB6|r\r\n");
  f.w.AddFile(W(L"evil.txt"), "evil.dll|KB7|s\r\nfar.dll|KB8|s\r\n");

  auto manifests = LookUpUpdateDatabase(f.s, services, {L"x.manifest", L"x.manifes"}, UpdateDatabaseMode::kManifest);
  EXPECT_EQ(manifests, (std::vector<std::vector<std::wstring>>{{L"x.manifest|KB1|p1", L"x.manifest|KB3|p3"}, {}}));
  EXPECT_EQ(Requests(kDatabaseVersionUrl), 1u);

  auto payloads = LookUpUpdateDatabase(f.s, services, {L"y.dll", L"x.dll", L"evil.dll", L"far.dll", L"z.dll"},
                                       UpdateDatabaseMode::kPayload);
  EXPECT_EQ(payloads, (std::vector<std::vector<std::wstring>>{{L"y.dll|KB6|r"}, {L"x.dll|KB4|q"}, {}, {}, {}}));
  // The version is checked once per process.
  EXPECT_EQ(Requests(kDatabaseVersionUrl), 1u);
}

}  // namespace
}  // namespace corvex
