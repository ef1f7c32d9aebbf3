#include "analysis/auto_analysis.h"

#include <gtest/gtest.h>

#include "analysis/summary.h"
#include "app/directive_table.h"
#include "component_store_fixture.h"
#include "core/working_folders.h"
#include "security_test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::Count;

using testing::Damaged;
using testing::kKernel;
using testing::kShell;

std::wstring InShadowCopy(uint32_t n, const std::wstring& path) {
  return fake::FakeWindows::ShadowCopyRoot(n) + path.substr(2);
}

TEST(RepairStages, EveryShadowCopyThatExistsIsSearchedWhateverGapsTheNumberingHas) {
  Damaged d;
  // Copies 1, 3 and 4 were deleted; each remaining copy can give several files.
  for (uint32_t n : {2u, 5u}) d.w.AddShadowCopy(n);
  d.w.AddFile(InShadowCopy(5, kKernel), "good kernel");
  d.w.AddFile(InShadowCopy(5, kShell), "good shell");
  d.w.AddFile(InShadowCopy(2, kShell), "older, different shell");
  d.Stages();
  EXPECT_EQ(d.w.FileBytes(kKernel), "good kernel");
  EXPECT_EQ(d.w.FileBytes(kShell), "good shell");
  EXPECT_EQ(d.s.analysis.counters.cbsFixed, 2u);
  // The snapshots are read, never written.
  EXPECT_EQ(d.w.FileBytes(InShadowCopy(2, kShell)), "older, different shell");
}

TEST(RepairStages, FixedDrivesAreLabelledInOrderAndZIsNeverSearched) {
  Damaged d;
  d.w.drives = {{L'C', platform::DriveKind::kFixed},
                {L'D', platform::DriveKind::kCdRom},
                {L'E', platform::DriveKind::kFixed},
                {L'Z', platform::DriveKind::kFixed}};
  d.w.AddFile(L"D:\\kernel.dll", "good kernel");
  d.w.AddFile(L"E:\\Backup\\SHELL.DLL", "good shell");
  d.w.AddFile(L"Z:\\kernel.dll", "good kernel");
  const std::wstring log = d.Stages();
  const std::wstring shown = d.w.ConsoleText();
  EXPECT_TRUE(testing::Holds(shown, L"\nStage 4a \nStage 4b \nStage 5 "));
  EXPECT_EQ(shown.find(L"Stage 4c"), std::wstring::npos);
  EXPECT_EQ(d.w.FileBytes(kShell), "good shell");
  EXPECT_EQ(d.w.FileBytes(kKernel), "bad");
  EXPECT_TRUE(testing::Holds(log, L"CORRUPT: " + kKernel + L"\r\n"));
  EXPECT_EQ(d.s.analysis.counters.cbsFixed, 1u);
}

TEST(RepairStages, AReplacementCountsOnlyOnceTheStoreFileHasTheManifestsDigest) {
  Damaged d;
  d.w.AddFile(ArchiveFolder(d.s) + L"\\kernel.dll", "good kernel");
  d.w.AddFile(ArchiveFolder(d.s) + L"\\shell.dll", "good shell");
  d.w.InjectFault(Op::kCopyFile, kShell, 5, -1);
  const std::wstring log = d.Stages();
  EXPECT_EQ(d.w.FileBytes(kShell), "bad");
  EXPECT_EQ(d.s.analysis.counters.cbsFixed, 1u);
  ASSERT_EQ(d.s.analysis.corruptFiles.size(), 1u);
  EXPECT_EQ(d.s.analysis.corruptFiles[0].storePath, kShell);
  EXPECT_TRUE(testing::Holds(log, L"CORRUPT: " + kShell + L"\r\n"));
  // SURT records count toward their own counter.
  Damaged surt;
  surt.s.analysis.corruptFiles[0].origin = 31;
  surt.w.AddFile(ArchiveFolder(surt.s) + L"\\kernel.dll", "good kernel");
  surt.Stages();
  EXPECT_EQ(surt.s.analysis.counters.surtFixed, 1u);
  EXPECT_EQ(surt.s.analysis.counters.cbsFixed, 0u);
}

// --- The whole analysis ------------------------------------------------------

using testing::StoreComponent;

const std::wstring kCbsLog = L"C:\\Windows\\Logs\\CBS\\CBS.log";

std::string SrFor(const StoreComponent& c, const std::wstring& file) {
  return testing::SrLine(ToUtf8(testing::NewForm(c, file)));
}

struct Analysed : testing::StoreSession {
  StoreComponent foo;
  std::wstring folder;
  Analysed() {
    store.HiveLoaded();
    for (const wchar_t* tool : {L"sfc.exe", L"dism.exe"})
      w.OnProcess(tool, [](const platform::ProcessRequest&) { return platform::ProcessOutcome{}; });
  }
  void Damage() {
    folder = store.Add(foo, {{L"kernel.dll", "bad", testing::kGoodKernel}, {L"shell.dll", "bad", testing::kGoodShell}});
    w.AddFile(kCbsLog, SrFor(foo, L"kernel.dll") + SrFor(foo, L"shell.dll") + SrFor(foo, L"kernel.dll"));
    // The hive tests unload and reload COMPONENTS: the key must be in the
    // file too.
    std::string hive = fake::FakeRegistry::kHiveMagic;
    hive += "Windows Registry Editor Version 5.00\r\n\r\n[DerivedData\\Components\\" + ToUtf8(foo.KeyName()) +
            "]\r\n\"identity\"=hex:";
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char c : ToUtf8(foo.Identity())) hive += std::string{kHex[c >> 4], kHex[c & 15], ','};
    hive.pop_back();  // the last comma
    hive += "\r\n\"f!kernel.dll\"=hex:5a,5a,5a\r\n";
    hive.resize(0x600000, '\0');
    w.AddFile(testing::kHiveFile, hive);
  }
  std::wstring Analyse(Lines lines = {}, bool expected = true) {
    return testing::Ran(AutoAnalysisDirective, *this, std::move(lines), expected);
  }
};

TEST(AutoAnalysis, RepairsTwoDamagedStoreFilesOneFromTheArchiveOneFromAShadowCopy) {
  Analysed r;
  r.Damage();
  r.w.AddFile(ArchiveFolder(r.s) + L"\\fixes\\kernel.dll", "good kernel");  // any folder of the archive
  r.w.AddShadowCopy(4);
  r.w.AddFile(fake::FakeWindows::ShadowCopyRoot(4) + L"\\Windows\\WinSxS\\" + r.foo.KeyName() + L"\\shell.dll",
              "good shell");
  const std::wstring report = r.Analyse();
  EXPECT_EQ(r.w.FileBytes(r.folder + L"\\kernel.dll"), "good kernel");
  EXPECT_EQ(r.w.FileBytes(r.folder + L"\\shell.dll"), "good shell");
  EXPECT_EQ(r.w.FileBytes(L"C:\\Corvex\\Backups\\C\\Windows\\winsxs\\" + r.foo.KeyName() + L"\\kernel.dll"), "bad");
  EXPECT_EQ(Count(report, L"FIXED: Corruption at "), 2u) << report;
  EXPECT_TRUE(EndsWith(report, L"SUMMARY: All detected corruptions were successfully repaired.")) << report;
  EXPECT_EQ(r.s.analysis.counters.cbsDetected, 2u);
  EXPECT_EQ(r.s.analysis.counters.cbsFixed, 2u);
  EXPECT_TRUE(r.s.analysis.corruptFiles.empty());
  EXPECT_EQ(r.s.analysis.replacements, Lines{L"[MODE:1]"});
  // The summary's page is shown once the report is written.
  EXPECT_TRUE(testing::Holds(r.w.ConsoleText(), SummaryPage(1).substr(0, 60)));
}

TEST(AutoAnalysis, NoCorruptionOnlyWhenEverythingCouldBeExamined) {
  struct Row {
    const char* what;
    uint32_t cbsOpenFault;
    std::wstring summary;
  } rows[] = {
      {"clean", 0, L"\r\nSUMMARY: No corruptions were detected."},
      {"CBS.log unreadable", 5, L"SUMMARY: Some corruptions could not be fixed automatically."},
  };
  for (const Row& row : rows) {
    Analysed r;
    r.w.AddFile(kCbsLog, testing::CbsLine("Info", "CBS", "Starting TrustedInstaller initialization."));
    if (row.cbsOpenFault) r.w.InjectFault(Op::kOpenFile, L"CBS.log", row.cbsOpenFault, -1);
    const std::wstring report = r.Analyse();
    EXPECT_TRUE(testing::Holds(report, row.summary)) << row.what << report;
    EXPECT_EQ(report.find(L"could not be read") != std::wstring::npos, row.cbsOpenFault != 0) << row.what;
  }
}

TEST(AutoAnalysis, MissingStoreDirectoriesCountAsFixedOnceTheyExistAndSfcRunsAgainNatively) {
  for (bool createFails : {false, true}) {
    Analysed r;
    r.w.wow64 = true;
    r.store.AddKey(L"amd64_gone-one_31bf3856ad364e35_1.0.0.0_none_1111", L"gone-one", true);
    r.store.AddKey(L"amd64_gone-two_31bf3856ad364e35_1.0.0.0_none_2222", L"gone-two", true);
    if (createFails) r.w.InjectFault(Op::kCreateFolder, L"gone-two", 5, -1);
    const std::wstring report = r.Analyse();
    EXPECT_EQ(r.w.IsFolder(L"C:\\Windows\\WinSxS\\amd64_gone-one_31bf3856ad364e35_1.0.0.0_none_1111"), true);
    EXPECT_EQ(r.s.analysis.counters.cbsDetected, 2u);
    EXPECT_EQ(r.s.analysis.counters.cbsFixed, createFails ? 1u : 2u);
    // No log records: still one summary, chosen from the counters.
    EXPECT_EQ(Count(report, L"SUMMARY:"), 1u) << report;
    EXPECT_TRUE(testing::Holds(report, createFails ? L"SUMMARY: Some corruptions could not be fixed automatically."
                                                   : L"SUMMARY: All detected corruptions were successfully repaired."));
    // Once, through SfcDirective, whose test checks the native sfc /scannow.
    size_t sfcRuns = 0;
    for (const auto& p : r.w.processesRun) sfcRuns += EndsWith(ToLower(p.program), L"sfc.exe");
    EXPECT_EQ(sfcRuns, 1u);
  }
}

TEST(AutoAnalysis, DismRepairsManifestDamageThroughTheNativeDismAndSaysSoOnlyWhenItWorked) {
  for (uint32_t exitCode : {0u, 87u}) {
    Analysed r;
    r.w.wow64 = true;
    r.w.AddFile(kCbsLog, testing::CbsLine("Error", "CSI",
                                          "Unable to load manifest for component \"Microsoft-Windows-Foo\""));
    r.w.OnProcess(L"dism.exe", [exitCode](const platform::ProcessRequest&) {
      platform::ProcessOutcome out;
      out.exitCode = exitCode;
      return out;
    });
    const std::wstring report = r.Analyse();
    ASSERT_FALSE(r.w.processesRun.empty());
    const auto& dism = r.w.processesRun.back();
    EXPECT_TRUE(IEquals(dism.program, L"C:\\Windows\\Sysnative\\dism.exe")) << dism.program;
    EXPECT_EQ(dism.commandLine, L" /Online /Cleanup-Image /RestoreHealth");
    EXPECT_EQ(report.find(L"Performed DISM repair") != std::wstring::npos, exitCode == 0) << report;
    EXPECT_EQ(report.find(L"SUMMARY: No corruptions") != std::wstring::npos, exitCode == 0) << report;
    EXPECT_TRUE(r.s.analysis.dismDone);
  }
}

}  // namespace
}  // namespace corvex
