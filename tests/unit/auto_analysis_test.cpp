#include "analysis/auto_analysis.h"

#include <gtest/gtest.h>

#include "app/directive_table.h"
#include "core/working_folders.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;

const std::wstring kStore = L"C:\\Windows\\WinSxS\\amd64_microsoft-windows-demo_31bf3856ad364e35_10.0.19041.1_none_1a2b3c";
const std::wstring kKernel = kStore + L"\\kernel.dll";
const std::wstring kShell = kStore + L"\\shell.dll";
const std::wstring kGoodKernel = L"2cwBR+KryfAhR66VwR1EA8NNrVJ9lPGudyhhiKzBuY4=";  // SHA-256 of "good kernel"
const std::wstring kGoodShell = L"o3naoFRLtH1jnPLo2egq8jat1IbcTTri+JoiyjeuYt0=";   // of "good shell"

// A session whose handlers reach the program's directives by name, with
// two damaged store files waiting for good copies.
struct Damaged : FakeSession {
  Damaged() {
    s.runDirective = [this](const std::wstring& name, Lines lines, const std::wstring& archive,
                            std::wstring& report) {
      const DirectiveEntry* e = ProgramDirectives().Find(name);
      return e && e->handler && e->handler(s, std::move(lines), archive, report);
    };
    w.AddFile(kKernel, "bad");
    w.AddFile(kShell, "bad");
    s.analysis.corruptFiles = {{kKernel, kGoodKernel, L"LwXU", 0}, {kShell, kGoodShell, L"LwXU", 0}};
    s.analysis.counters.cbsDetected = 2;
  }
  std::wstring Stages() {
    std::wstring log;
    RunRepairStages(s, L"", log);
    return log;
  }
  std::wstring InShadowCopy(uint32_t n, const std::wstring& path) {
    return fake::FakeWindows::ShadowCopyRoot(n) + path.substr(2);
  }
};

TEST(RepairStages, GoodCopiesFromTheArchiveAndAShadowCopyAreCopiedIntoPlaceAndCounted) {
  Damaged d;
  d.w.AddFile(ArchiveFolder(d.s) + L"\\fixes\\kernel.dll", "good kernel");
  d.w.AddShadowCopy(3);
  d.w.AddFile(d.InShadowCopy(3, kShell), "good shell");
  const std::wstring log = d.Stages();
  EXPECT_EQ(d.w.FileBytes(kKernel), "good kernel");
  EXPECT_EQ(d.w.FileBytes(kShell), "good shell");
  EXPECT_NE(log.find(L"FIXED: Corruption at " + kKernel), std::wstring::npos) << log;
  EXPECT_NE(log.find(L"FIXED: Corruption at " + kShell), std::wstring::npos);
  EXPECT_EQ(log.find(L"CORRUPT: "), std::wstring::npos);
  EXPECT_EQ(d.s.analysis.counters.cbsFixed, 2u);
  EXPECT_TRUE(d.s.analysis.corruptFiles.empty());
  EXPECT_EQ(d.s.analysis.replacements, Lines{L"[MODE:1]"});
  EXPECT_NE(d.w.ConsoleText().find(L"\nStage 2 \nStage 3 \nStage 4a \nStage 5 \nStage 9 "), std::wstring::npos)
      << d.w.ConsoleText();
}

TEST(RepairStages, EveryShadowCopyThatExistsIsSearchedWhateverGapsTheNumberingHas) {
  Damaged d;
  // Copies 1, 3 and 4 were deleted; each remaining copy can give several files.
  for (uint32_t n : {2u, 5u}) d.w.AddShadowCopy(n);
  d.w.AddFile(d.InShadowCopy(5, kKernel), "good kernel");
  d.w.AddFile(d.InShadowCopy(5, kShell), "good shell");
  d.w.AddFile(d.InShadowCopy(2, kShell), "older, different shell");
  d.Stages();
  EXPECT_EQ(d.w.FileBytes(kKernel), "good kernel");
  EXPECT_EQ(d.w.FileBytes(kShell), "good shell");
  EXPECT_EQ(d.s.analysis.counters.cbsFixed, 2u);
  // The snapshots are read, never written.
  EXPECT_EQ(d.w.FileBytes(d.InShadowCopy(2, kShell)), "older, different shell");
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
  EXPECT_NE(shown.find(L"\nStage 4a \nStage 4b \nStage 5 "), std::wstring::npos) << shown;
  EXPECT_EQ(shown.find(L"Stage 4c"), std::wstring::npos);
  EXPECT_EQ(d.w.FileBytes(kShell), "good shell");
  EXPECT_EQ(d.w.FileBytes(kKernel), "bad");
  EXPECT_NE(log.find(L"CORRUPT: " + kKernel + L"\r\n"), std::wstring::npos) << log;
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
  EXPECT_NE(log.find(L"CORRUPT: " + kShell + L"\r\n"), std::wstring::npos) << log;
  // SURT records count toward their own counter.
  Damaged surt;
  surt.s.analysis.corruptFiles[0].origin = 31;
  surt.w.AddFile(ArchiveFolder(surt.s) + L"\\kernel.dll", "good kernel");
  surt.Stages();
  EXPECT_EQ(surt.s.analysis.counters.surtFixed, 1u);
  EXPECT_EQ(surt.s.analysis.counters.cbsFixed, 0u);
}

}  // namespace
}  // namespace corvex
