#include <gtest/gtest.h>

#include "analysis/auto_analysis.h"
#include "analysis/watchlist_repair.h"
#include "component_store_fixture.h"
#include "core/working_folders.h"
#include "platform/fake/fake_registry.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;

const std::wstring kCbs =
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\";
const std::wstring kPkgKey = kCbs + L"PackageDetect\\Pkg~31bf";
const std::wstring kCompKey = kCbs + L"ComponentDetect\\comp_1";
const std::wstring kDetail = L"Package registry presence failed, possibly an orphaned package on package watchlist";

struct Watchlist : FakeSession {
  Watchlist() {
    testing::UseProgramDirectives(s);
    auto& r = w.registry();
    r.SetString(kPkgKey, L"Pkg~val", L"1");
    r.SetString(kPkgKey, L"Other", L"1");
    r.SetString(kCompKey, L"amd64_a", L"1");
    r.SetString(kCompKey, L"amd64_b \"q\\x", L"1");
    r.SetDword(kCompKey, L"amd64_dword", 1);
    r.SetString(kCompKey, L"x86_c", L"1");
  }
  static SurtRecord Record(bool component, std::vector<std::wstring> lines) {
    return {component ? L"CBS Watchlist Component Missing" : L"CBS Watchlist Package Missing", std::move(lines)};
  }
  std::wstring Repair(const SurtRecord& r, bool expectOk) {
    std::wstring log;
    const bool component = r.category.find(L"Component") != std::wstring::npos;
    EXPECT_EQ(component ? RepairWatchlistComponent(s, r, log) : RepairWatchlistPackage(s, r, log), expectOk) << log;
    return log;
  }
  bool Has(const std::wstring& key, const std::wstring& name) { return w.registry().Value(key, name) != nullptr; }
  size_t Exports() {
    size_t n = 0;
    for (const auto& c : w.registry().regCommands) n += c.find(L"EXPORT") != std::wstring::npos;
    return n;
  }
};

TEST(Watchlist, PackageAndComponentOrphansAreDeletedAfterOneBackupPerKey) {
  Watchlist x;
  const SurtRecord pkg = Watchlist::Record(false, {L"0x80070002 \r", L"Pkg~31bf", L"Pkg~val", kDetail});
  EXPECT_EQ(x.Repair(pkg, true), L"FIXED: Orphaned package Pkg~val (Pkg~31bf) on package watchlist.\r\n");
  EXPECT_FALSE(x.Has(kPkgKey, L"Pkg~val"));
  EXPECT_TRUE(x.Has(kPkgKey, L"Other"));
  // The same key again: no second export.
  x.w.registry().SetString(kPkgKey, L"Pkg~val", L"1");
  x.Repair(pkg, true);
  EXPECT_EQ(x.Exports(), 1u);

  // Every REG_SZ value with the prefix, quotes and backslashes escaped;
  // one finding counts once.
  const SurtRecord comp = Watchlist::Record(true, {L"0x80070002", L"comp_1", L"amd64_", kDetail});
  EXPECT_EQ(x.Repair(comp, true),
            L"FIXED: Orphaned component amd64_a (comp_1) on component watchlist.\r\n"
            L"FIXED: Orphaned component amd64_b \"q\\x (comp_1) on component watchlist.\r\n");
  EXPECT_FALSE(x.Has(kCompKey, L"amd64_a"));
  EXPECT_FALSE(x.Has(kCompKey, L"amd64_b \"q\\x"));
  EXPECT_TRUE(x.Has(kCompKey, L"amd64_dword"));
  EXPECT_TRUE(x.Has(kCompKey, L"x86_c"));
  EXPECT_EQ(x.Exports(), 2u);
  EXPECT_EQ(x.s.analysis.counters.surtFixed, 3u);
}

TEST(Watchlist, FindingsThatCannotBeRepairedSafelyLeaveEveryValue) {
  const std::wstring notOrphan = L"Failed to repair orphaned package Pkg~val (Pkg~31bf) on package watchlist.\r\n"
                                 L"Logfile error code 0x800f081f and detail \"" + kDetail + L"\".\r\n\r\n";
  struct Case {
    bool component;
    std::vector<std::wstring> lines;
    std::wstring log;  // empty: only that it failed
  };
  const std::vector<Case> cases = {
      {false, {L"0x800f081f", L"Pkg~31bf", L"Pkg~val", kDetail}, notOrphan},
      {true, {L"0x80070002", L"comp_1", L"none_", kDetail},
       L"CORRUPT: Failed to repair orphaned component \"value name not identified\" (comp_1) on component "
       L"watchlist.\r\n\r\n\r\n"},
      {false, {L"0x80070002", L"Pkg~31bf", L"Pkg~val"}, L""},          // four lines
      {true, {L"0x80070002", L"comp_1", L"", kDetail}, L""},            // every value would match
      {false, {L"0x80070002", L"..\\Pkg~31bf", L"Pkg~val", kDetail}, L""},
      {false, {L"0x80070002", L"Pkg]\r\n[HKLM", L"Pkg~val", kDetail}, L""},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    Watchlist x;
    const std::wstring log = x.Repair(Watchlist::Record(cases[i].component, cases[i].lines), false);
    EXPECT_TRUE(cases[i].log.empty() || log == cases[i].log) << i << ": " << ToUtf8(log);
    EXPECT_TRUE(x.Has(kPkgKey, L"Pkg~val") && x.Has(kCompKey, L"amd64_a")) << i;
    EXPECT_EQ(x.s.analysis.counters.surtFixed, 0u) << i;
    EXPECT_TRUE(x.w.registry().regCommands.empty()) << i;
  }
}

TEST(Watchlist, AFailedExportDeletesNothingAndIsTriedAgain) {
  Watchlist x;
  x.w.InjectFault(Op::kRunProcess, L"reg.exe", 5, 1);
  const SurtRecord pkg = Watchlist::Record(false, {L"0x80070002", L"Pkg~31bf", L"Pkg~val", kDetail});
  EXPECT_EQ(x.Repair(pkg, false), L"CORRUPT: Failed to repair orphaned package Pkg~val (Pkg~31bf) on package "
                                  L"watchlist.\r\nWARNING: Failed to backup registry key " + kPkgKey + L".\r\n\r\n");
  EXPECT_TRUE(x.Has(kPkgKey, L"Pkg~val"));
  x.Repair(pkg, true);
  EXPECT_FALSE(x.Has(kPkgKey, L"Pkg~val"));
}

// --- File Placement Mode ----------------------------------------------------

struct Placement : FakeSession {
  std::wstring archive;
  Placement() {
    testing::UseProgramDirectives(s);
    archive = ArchiveFolder(s);
    w.AddFolder(archive);
  }
  std::wstring Run(bool expectOk) {
    std::wstring report;
    EXPECT_EQ(RunFilePlacementMode(s, archive, report), expectOk) << report;
    return report;
  }
};

TEST(FilePlacement, HiveStoreFoldersAndFilesGoToTheirPlaces) {
  Placement x;
  const std::string hive = testing::StoreBuilder::HiveFileBytes(0);
  x.w.AddFile(x.archive + L"\\coms.hive", hive);
  x.w.AddFile(x.archive + L"\\winsxs\\Manifests\\m.manifest", "m");
  x.w.AddFile(x.archive + L"\\amd64_foo_1\\f.dll", "f");
  x.w.AddFile(x.archive + L"\\x86_bar_1.dll", "b");
  x.Run(true);
  EXPECT_EQ(x.w.FileBytes(L"C:\\Windows\\System32\\config\\COMPONENTS"), hive);
  EXPECT_EQ(x.w.FileBytes(L"C:\\Windows\\WinSxS\\Manifests\\m.manifest"), "m");
  EXPECT_EQ(x.w.FileBytes(L"C:\\Windows\\WinSxS\\amd64_foo_1\\f.dll"), "f");
  EXPECT_EQ(x.w.FileBytes(L"C:\\Windows\\WinSxS\\x86_bar_1.dll"), "b");
  // The load test ran on a copy, which is gone again.
  EXPECT_FALSE(x.w.Exists(TempFolder(x.s) + L"\\PlacementHiveTest"));
}

TEST(FilePlacement, UnplaceableEntriesAndAnEmptyArchiveAreErrors) {
  Placement x;
  x.w.AddFile(x.archive + L"\\readme.txt", "r");
  x.w.AddFile(x.archive + L"\\COMPONENTS", "not a hive");
  x.w.AddFile(x.archive + L"\\amd64_ok.dll", "a");
  const std::wstring report = x.Run(false);
  EXPECT_EQ(report.find(L"ERROR: File Placement Mode failed to identify destinations for all files and folders.\r\n"
                        L"  COMPONENTS\r\n  readme.txt\r\n\r\n\r\n"),
            0u)
      << report;
  EXPECT_EQ(x.w.FileBytes(L"C:\\Windows\\WinSxS\\amd64_ok.dll"), "a");
  EXPECT_FALSE(x.w.Exists(L"C:\\Windows\\System32\\config\\COMPONENTS"));

  Placement empty;
  EXPECT_TRUE(StartsWith(empty.Run(false), L"ERROR: File Placement Mode failed to repair"));
}

}  // namespace
}  // namespace corvex
