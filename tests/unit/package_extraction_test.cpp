// Package extraction against the fake: real cabinets (libmspack) and
// installer databases (libmsi) made by gcab and msibuild, unpacked by the
// worker threads into the fake's file system.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "analysis/package_extraction.h"
#include "analysis/package_names.h"
#include "base/text.h"
#include "core/session_log.h"
#include "package_fixtures.h"
#include "platform/fake/fake_signatures.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

// --- Entry names ---------------------------------------------------------

TEST(PackageEntryNames, PlainNamesAndSubfoldersPass) {
  for (const wchar_t* name : {L"update.mum", L"amd64_x\\f.dll", L"a/b/c.txt", L"cone.d", L"console.d", L"COM0", L"LPT10.txt",
                              L"nul_file", L".hidden", L"a..b"})
    EXPECT_EQ(CheckEntryName(name, EntryNameKind::kCabinetEntry), EntryNameFault::kNone) << name;
  EXPECT_EQ(EntryRelativePath(L"a/b\\c.txt"), L"a\\b\\c.txt");
}

TEST(PackageEntryNames, NamesThatLeaveTheirFolderAreRefused) {
  const std::pair<const wchar_t*, EntryNameFault> cases[] = {
      {L"..\\b.txt", EntryNameFault::kClimbs},        {L"a\\..\\..\\b", EntryNameFault::kClimbs},
      {L"../b", EntryNameFault::kClimbs},             {L"a\\.\\b", EntryNameFault::kClimbs},
      {L"a\\\\b", EntryNameFault::kClimbs},           {L"a\\", EntryNameFault::kClimbs},
      {L"\\Windows\\x.dll", EntryNameFault::kAbsolute}, {L"/etc", EntryNameFault::kAbsolute},
      {L"C:\\x.dll", EntryNameFault::kAbsolute},      {L"C:x.dll", EntryNameFault::kAbsolute},
      {L"ab:stream", EntryNameFault::kColon},          {L"f.dll::$DATA", EntryNameFault::kColon},
      {L"", EntryNameFault::kEmpty},                  {L"a\x01.txt", EntryNameFault::kBadCharacter},
      {L"a?.txt", EntryNameFault::kBadCharacter},     {L"CON", EntryNameFault::kDevice},
      {L"x\\nul.txt", EntryNameFault::kDevice},       {L"Aux .cab", EntryNameFault::kDevice},
      {L"com1", EntryNameFault::kDevice},             {L"LPT9.log", EntryNameFault::kDevice},
      {L"prn", EntryNameFault::kDevice},              {L"a.txt.", EntryNameFault::kTrailingDotOrSpace},
      {L"dir \\a", EntryNameFault::kTrailingDotOrSpace},
  };
  for (const auto& [name, fault] : cases)
    EXPECT_EQ(CheckEntryName(name, EntryNameKind::kCabinetEntry), fault) << name;
  EXPECT_EQ(CheckEntryName(std::wstring(256, L'a'), EntryNameKind::kCabinetEntry), EntryNameFault::kTooLong);
}

TEST(PackageEntryNames, InstallerNamesAreFlat) {
  EXPECT_EQ(CheckEntryName(L"Binary.Icon", EntryNameKind::kInstallerName), EntryNameFault::kNone);
  EXPECT_EQ(CheckEntryName(L"a\\b", EntryNameKind::kInstallerName), EntryNameFault::kSeparator);
  EXPECT_EQ(CheckEntryName(L"..\\..\\evil.dll", EntryNameKind::kInstallerName), EntryNameFault::kClimbs);
  EXPECT_EQ(CheckEntryName(L"NUL", EntryNameKind::kInstallerName), EntryNameFault::kDevice);
}

#ifndef _WIN32

using testing::MakeCabinet;
using testing::MakeInstallerDatabase;
using testing::PackageFiles;

const std::wstring kPackage = L"C:\\Users\\Tester\\Downloads\\windows10.0-kb5001.msu";
const std::wstring kOutput = L"C:\\Corvex\\Packages";
const std::wstring kExtractWork = kOutput + L"\\RARiroderuz_1";

// Relative path (lower case) -> bytes of every file below `folder`.
std::map<std::wstring, std::string> Tree(const fake::FakeWindows& w, const std::wstring& folder) {
  std::map<std::wstring, std::string> out;
  for (const std::wstring& path : w.ListTree(folder))
    if (!w.IsFolder(path)) out[ToLower(path.substr(folder.size()))] = w.FileBytes(path);
  return out;
}

bool AnyMessage(const ExtractionResult& r, const std::wstring& part) {
  for (const auto& m : r.messages)
    if (m.find(part) != std::wstring::npos) return true;
  return false;
}

// The extraction is incomplete and one of its sentences holds `part`.
void ExpectIncomplete(const ExtractionResult& r, const std::wstring& part) {
  EXPECT_FALSE(r.complete);
  EXPECT_TRUE(AnyMessage(r, part)) << ToUtf8(part);
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

// msu > (outer.cab > (inner.cab, sub\b.txt), other.cab, WSUSSCAN.cab)
std::string NestedPackage() {
  std::string inner = MakeCabinet({{"amd64_deep\\deep.dll", "MZ deep"}, {"deep.mum", "<assembly/>"}});
  std::string outer = MakeCabinet({{"inner.cab", inner}, {"sub\\b.txt", "bee"}, {"x86_a\\a.dll", "MZ a"}});
  std::string other = MakeCabinet({{"c.dll", std::string(100000, 'c')}});
  std::string wsus = MakeCabinet({{"package.xml", "<scan/>"}});
  return MakeCabinet({{"outer.cab", outer}, {"other.cab", other}, {"WSUSSCAN.cab", wsus}, {"pkgProperties.txt", "x"}});
}

class PackageExtraction : public ::testing::Test {
 protected:
  void SetUp() override { f.w.AddFolder(kOutput); }
  ExtractionResult Extract(const std::string& package, ExtractionOptions options = ExtractionOptions(),
                           const std::wstring& path = kPackage) {
    EXPECT_FALSE(package.empty()) << "fixture not made: gcab or msibuild missing";
    f.w.AddFile(path, package);
    return ExtractPackage(f.s, path, kOutput, options);
  }
  FakeSession f;
};

TEST_F(PackageExtraction, NestedCabinetsGiveTheSameTreeWithOneAndThreeWorkers) {
  std::string package = NestedPackage();
  ExtractionOptions one;
  one.workers = 1;
  ExtractionResult r1 = Extract(package, one);
  ASSERT_TRUE(r1.complete) << (r1.messages.empty() ? "" : ToUtf8(r1.messages[0]));
  auto tree1 = Tree(f.w, r1.folder);

  ExtractionResult r3 = ExtractPackage(f.s, kPackage, kOutput);
  ASSERT_TRUE(r3.complete);
  EXPECT_EQ(r3.folder, kOutput + L"\\RARiroderuz_2");  // a fresh folder, so the trees are compared
  EXPECT_EQ(Tree(f.w, r3.folder), tree1);

  EXPECT_EQ(tree1[L"\\outer.cab.extracted\\inner.cab.extracted\\amd64_deep\\deep.dll"], "MZ deep");
  EXPECT_EQ(tree1[L"\\outer.cab.extracted\\sub\\b.txt"], "bee");
  EXPECT_EQ(tree1[L"\\other.cab.extracted\\c.dll"], std::string(100000, 'c'));
  EXPECT_EQ(r3.containers, 4u);  // the package, outer, inner, other
  // WSUSSCAN.cab is left packed.
  EXPECT_TRUE(f.w.Exists(kExtractWork + L"\\WSUSSCAN.cab"));
  EXPECT_FALSE(f.w.Exists(kExtractWork + L"\\WSUSSCAN.cab.extracted"));
}

TEST_F(PackageExtraction, NinetyNineWorkFoldersLeaveNothingExtracted) {
  for (int n = 1; n <= 99; ++n) f.w.AddFolder(kOutput + L"\\RARiroderuz_" + std::to_wstring(n));
  ExtractionResult r = Extract(NestedPackage());
  EXPECT_FALSE(r.complete);
  EXPECT_TRUE(r.folder.empty());
  EXPECT_TRUE(AnyMessage(r, L"RARiroderuz_1 to RARiroderuz_99 exist"));
  EXPECT_FALSE(f.w.Exists(kOutput + L"\\RARiroderuz_100"));
  EXPECT_TRUE(Tree(f.w, kOutput).empty());
}

TEST_F(PackageExtraction, EntryClimbingOutIsRefusedAndNothingWrittenOutside) {
  std::string inner = MakeCabinet({{"xx_b.txt", "escaped"}, {"fine.txt", "fine"}});
  inner = Replace(inner, "xx_b.txt", "..\\b.txt");
  ExtractionResult r = Extract(MakeCabinet({{"inner.cab", inner}, {"dir\\kept.txt", "kept"}}));
  ExpectIncomplete(r, L"The entry \"..\\b.txt\" of " + kExtractWork + L"\\inner.cab was refused: it climbs out");
  EXPECT_TRUE(AnyMessage(r, L"Nothing of " + kExtractWork + L"\\inner.cab was unpacked."));
  EXPECT_EQ(f.w.FileBytes(kExtractWork + L"\\dir\\kept.txt"), "kept");
  for (const std::wstring& path : f.w.ListTree(L"C:\\")) {
    EXPECT_FALSE(IEquals(path.substr(path.rfind(L'\\') + 1), L"b.txt")) << path;
    EXPECT_FALSE(IEquals(path.substr(path.rfind(L'\\') + 1), L"fine.txt")) << path;
  }
}

TEST_F(PackageExtraction, InstallerStreamClimbingOutIsRefused) {
  std::string cab = MakeCabinet({{"payload.dll", "MZ payload"}});
  std::string msi = MakeInstallerDatabase({{"..\\..\\evil.dll", "MZ evil"}, {"Data1", cab}, {"Binary.x", "bin"}});
  const std::wstring path = L"C:\\Users\\Tester\\Downloads\\setup.msi";
  ExpectIncomplete(Extract(msi, ExtractionOptions(), path),
                   L"The entry \"..\\..\\evil.dll\" of " + path + L" was refused: it climbs out");
  // Cabinet streams get ".cab" and are unpacked in turn.
  EXPECT_EQ(f.w.FileBytes(kExtractWork + L"\\Data1.cab.extracted\\payload.dll"), "MZ payload");
  EXPECT_EQ(f.w.FileBytes(kExtractWork + L"\\Binary.x"), "bin");
  for (const std::wstring& p : f.w.ListTree(L"C:\\"))
    EXPECT_EQ(ToLower(p).find(L"evil"), std::wstring::npos) << p;
}

TEST_F(PackageExtraction, CorruptOrUnreadableCabinetIsReportedIncomplete) {
  std::string inner = MakeCabinet({{"big.dll", std::string(200000, 'z') + "tail"}});
  // Damage the compressed data, past the headers.
  for (size_t i = inner.size() - 200; i < inner.size() - 100; ++i) inner[i] = static_cast<char>(inner[i] ^ 0x5A);
  ExpectIncomplete(Extract(MakeCabinet({{"inner.cab", inner}, {"ok.txt", "ok"}})),
                   L"Could not unpack the cabinet " + kExtractWork + L"\\inner.cab with error code ");
  EXPECT_EQ(f.w.FileBytes(kExtractWork + L"\\ok.txt"), "ok");
  ExpectIncomplete(Extract("MSCF not really a cabinet"), L"Could not read the cabinet " + kPackage);
}

TEST_F(PackageExtraction, MutexTimeoutMakesTheExtractionIncomplete) {
  std::string leaf = MakeCabinet({{"f.txt", "f"}});
  std::string middle = MakeCabinet({{"l1.cab", leaf}, {"l2.cab", leaf}});
  ExtractionOptions o;
  o.queueWait = std::chrono::milliseconds(20);
  const auto caller = std::this_thread::get_id();
  // A worker holding the queue far longer than the others will wait.
  o.whileQueueHeld = [caller] {
    if (std::this_thread::get_id() != caller) std::this_thread::sleep_for(std::chrono::milliseconds(400));
  };
  o.showProgress = true;
  ExpectIncomplete(Extract(MakeCabinet({{"middle.cab", middle}}), o),
                   L"\n\nFATAL ERROR: RARiroderuz mutex timeout exceeded in location 1.\n\n");
  // The worker that held the queue still finished the work.
  EXPECT_EQ(f.w.FileBytes(kExtractWork + L"\\middle.cab.extracted\\l2.cab.extracted\\f.txt"), "f");
}

TEST_F(PackageExtraction, WorkersThatCannotStartMakeItIncompleteButTheOthersFinish) {
  ExtractionOptions o;
  o.failWorkerStart = 0;
  ExpectIncomplete(Extract(NestedPackage(), o), L"Background thread 0 could not be started");
  EXPECT_TRUE(f.w.Exists(kExtractWork + L"\\outer.cab.extracted\\inner.cab.extracted\\deep.mum"));
  // With no worker at all, what is left packed is counted.
  o.workers = 1;
  ExpectIncomplete(ExtractPackage(f.s, kPackage, kOutput, o),
                   L"2 containers of " + kPackage + L" were left packed.");
}

TEST_F(PackageExtraction, ByteCapAndDepthCapStopTheExtraction) {
  ExtractionOptions capped;
  capped.maxTotalBytes = 50000;
  ExtractionResult r = Extract(NestedPackage(), capped);
  ExpectIncomplete(r, L"Extraction stopped at 50000 bytes");
  EXPECT_LE(r.bytes, 50000u);
  EXPECT_FALSE(f.w.Exists(kExtractWork + L"\\other.cab.extracted\\c.dll"));

  ExtractionOptions shallow;
  shallow.maxDepth = 1;
  ExtractionResult d = ExtractPackage(f.s, kPackage, kOutput, shallow);
  ExpectIncomplete(d, L"inner.cab was left packed: containers nest more than 1 deep.");
  EXPECT_TRUE(f.w.Exists(d.folder + L"\\outer.cab.extracted\\sub\\b.txt"));
  EXPECT_FALSE(f.w.Exists(d.folder + L"\\outer.cab.extracted\\inner.cab.extracted"));
}

// --- Free space: each container needs room for its entries and the reserve

constexpr uint64_t kReserve = 200ull << 20;

// The package fits; big.cab inside it needs 100000 bytes.
std::string PackageWithBigCabinet() {
  return MakeCabinet({{"small.txt", "s"}, {"big.cab", MakeCabinet({{"big.dll", std::string(100000, 'b')}})}});
}

TEST_F(PackageExtraction, ContainerWithoutRoomIsLeftPackedWholeAndOneByteMoreUnpacksIt) {
  f.w.SetFreeBytes(L"C:", kReserve + 99999);
  ExpectIncomplete(Extract(PackageWithBigCabinet()),
                   L"WARNING: " + kExtractWork + L"\\big.cab was not unpacked: it needs " + Decimal(kReserve + 100000) +
                       L" bytes free on the volume of " + kExtractWork + L" and " + Decimal(kReserve + 99999) +
                       L" are free (100000 bytes to unpack, 209715200 bytes kept for Windows).");
  EXPECT_EQ(f.w.FileBytes(kExtractWork + L"\\small.txt"), "s");
  EXPECT_TRUE(f.w.ListTree(kExtractWork + L"\\big.cab.extracted").empty());

  f.w.SetFreeBytes(L"C:", kReserve + 100000);
  ExtractionResult fits = ExtractPackage(f.s, kPackage, kOutput);
  ASSERT_TRUE(fits.complete) << ToUtf8(fits.messages.empty() ? L"" : fits.messages[0]);
  EXPECT_EQ(f.w.FileBytes(fits.folder + L"\\big.cab.extracted\\big.dll"), std::string(100000, 'b'));
}

TEST_F(PackageExtraction, InstallerDatabaseNeedsRoomForItsFileSize) {
  std::string msi = MakeInstallerDatabase({{"Binary.x", "bin"}});
  const std::wstring path = L"C:\\Users\\Tester\\Downloads\\setup.msi";
  f.w.SetFreeBytes(L"C:", kReserve + msi.size() - 1);
  ExpectIncomplete(Extract(msi, ExtractionOptions(), path),
                   path + L" was not unpacked: it needs " + Decimal(kReserve + msi.size()));
  EXPECT_TRUE(f.w.ListTree(kExtractWork).empty());
}

TEST_F(PackageExtraction, FreeSpaceThatCannotBeReadIsNeverTakenAsEnough) {
  // The package's own query goes through; big.cab's fails.
  f.w.InjectFault(fake::Op::kFreeSpace, L"", 5, 1, 1);
  ExpectIncomplete(Extract(PackageWithBigCabinet()),
                   L"WARNING: " + kExtractWork + L"\\big.cab was not unpacked: the free space on the volume of " +
                       kExtractWork + L" could not be read with error code ERROR_ACCESS_DENIED.");
  EXPECT_EQ(f.w.FileBytes(kExtractWork + L"\\small.txt"), "s");
  EXPECT_TRUE(f.w.ListTree(kExtractWork + L"\\big.cab.extracted").empty());
}

// --- Self-extracting packages: run only when known, signed by Microsoft,
// held against writes, within a time limit --------------------------------

const std::wstring kAgent = L"C:\\Users\\Tester\\Downloads\\WindowsUpdateAgent-7.6-x64.exe";

class SelfExtracting : public PackageExtraction {
 protected:
  // The agent's package as a child: it unpacks a cabinet into the folder
  // its "/x:" names, then ends as `ending` says.
  void Unpacks(const std::string& cabinet, platform::ProcessOutcome ending = {}) {
    f.w.OnProcess(L"WindowsUpdateAgent-7.6-x64.exe", [this, cabinet, ending](const platform::ProcessRequest& r) {
      const size_t at = r.commandLine.find(L"/x:\"");
      if (at != std::wstring::npos) {
        const size_t from = at + 4;
        f.w.AddFile(r.commandLine.substr(from, r.commandLine.find(L'"', from) - from) + L"\\WUClient-Core.cab", cabinet);
      }
      whileRunning();
      return ending;
    });
  }
  std::function<void()> whileRunning = [] {};
};

// A child that was run would be in processesRun, whether or not the fake knows it.
TEST_F(SelfExtracting, UnsignedForeignOrAlteredPackagesAreRefusedAndNeverRun) {
  ExpectIncomplete(Extract("MZ agent", ExtractionOptions(), kAgent),
                   L"WARNING: " + kAgent + L" is a self-extracting package: it was not run, since its signature "
                       L"did not verify with error code " + ErrorCodeName(platform::kTrustNoSignature) + L".");

  f.w.signatures().Sign(kAgent, platform::Signer::kOther);
  ExpectIncomplete(ExtractPackage(f.s, kAgent, kOutput),
                   kAgent + L" is a self-extracting package: it was not run, since it is not signed by Microsoft.");

  f.w.signatures().Break(kAgent, 0x80096010);  // changed after signing
  ExpectIncomplete(ExtractPackage(f.s, kAgent, kOutput), L"its signature did not verify with error code 0x80096010.");
  EXPECT_EQ(f.w.signatures().asked.size(), 3u);
  EXPECT_TRUE(f.w.processesRun.empty());
}

TEST_F(SelfExtracting, WithoutRoomForItsOwnSizeItIsNotRun) {
  f.w.signatures().Sign(kAgent, platform::Signer::kMicrosoft);
  f.w.SetFreeBytes(L"C:", kReserve + 7);
  ExpectIncomplete(Extract("MZ agent", ExtractionOptions(), kAgent),
                   kAgent + L" was not unpacked: it needs " + Decimal(kReserve + 8));
  EXPECT_TRUE(f.w.processesRun.empty());
}

TEST_F(SelfExtracting, AnUnknownKindIsRefusedEvenWhenMicrosoftSignedIt) {
  const std::wstring other = L"C:\\Users\\Tester\\Downloads\\windows10.0-kb5-x64.exe";
  f.w.signatures().Sign(other, platform::Signer::kMicrosoft);
  ExpectIncomplete(Extract("MZ", ExtractionOptions(), other),
                   L"WARNING: " + other + L" is a self-extracting package: it was not run, since it is not one of "
                       L"the Microsoft packages this program knows how to unpack.");
  EXPECT_TRUE(f.w.processesRun.empty());
}

// While it runs, the package cannot be written, replaced or deleted; the
// hold ends with the child.
TEST_F(SelfExtracting, AKnownSignedPackageRunsHeldAndItsCabinetIsUnpacked) {
  f.w.signatures().Sign(kAgent, platform::Signer::kMicrosoft);
  f.w.AddFile(L"C:\\Users\\Tester\\Downloads\\swap.exe", "MZ swapped");
  std::vector<uint32_t> whileHeld;
  whileRunning = [&] {
    auto& fs = f.w.platform().fs;
    whileHeld.push_back(fs.WriteFile(kAgent, "MZ swapped", false).code());
    whileHeld.push_back(fs.MoveFile(L"C:\\Users\\Tester\\Downloads\\swap.exe", kAgent, true).code());
    whileHeld.push_back(fs.DeleteFile(kAgent).code());
  };
  Unpacks(MakeCabinet({{"x86_wuaueng\\wuaueng.dll", "MZ agent 7.6.7600.320"}}));
  ExtractionResult r = Extract("MZ agent", ExtractionOptions(), kAgent);
  ASSERT_TRUE(r.complete) << (r.messages.empty() ? "" : ToUtf8(r.messages[0]));
  ASSERT_EQ(f.w.processesRun.size(), 1u);
  const platform::ProcessRequest& run = f.w.processesRun[0];
  EXPECT_EQ(run.program, kAgent);
  EXPECT_EQ(run.commandLine, L"\"" + kAgent + L"\" /x:\"" + kExtractWork + L"\"");
  EXPECT_TRUE(run.wait);
  EXPECT_EQ(run.timeoutMs, 600000u);
  // Replacing an open file is refused before sharing is looked at, as on
  // Windows.
  EXPECT_EQ(whileHeld, (std::vector<uint32_t>{platform::err::kSharingViolation, platform::err::kAccessDenied,
                                              platform::err::kSharingViolation}));
  EXPECT_EQ(f.w.FileBytes(kAgent), "MZ agent");
  EXPECT_TRUE(f.w.platform().fs.DeleteFile(kAgent).ok());
}

TEST_F(SelfExtracting, TimeoutExitCodeOrFailedStartLeaveItIncomplete) {
  f.w.signatures().Sign(kAgent, platform::Signer::kMicrosoft);
  f.w.OnProcess(L"WindowsUpdateAgent-7.6-x64.exe", fake::FakeWindows::NeverEnds);
  ExpectIncomplete(
      Extract("MZ agent", ExtractionOptions(), kAgent),
      L"WARNING: The self-extracting package " + kAgent + L" was still running after 600 seconds and was stopped.");

  platform::ProcessOutcome failed;
  failed.exitCode = 1603;
  Unpacks(MakeCabinet({{"a.dll", "MZ a"}}), failed);
  ExpectIncomplete(ExtractPackage(f.s, kAgent, kOutput), kAgent + L" ended with exit code 1603.");

  f.w.InjectFault(fake::Op::kRunProcess, L"WindowsUpdateAgent", platform::err::kAccessDenied);
  ExpectIncomplete(ExtractPackage(f.s, kAgent, kOutput),
                   kAgent + L" could not be started with error code ERROR_ACCESS_DENIED.");
}

TEST_F(PackageExtraction, CompressedStoreFilesAreExpandedInPlace) {
  std::vector<std::wstring> calls;
  ExtractionOptions o;
  o.deltaExpander = [&](const std::wstring& args) -> std::wstring {
    calls.push_back(args);
    if (args.find(L"DETECTION_ONLY") != std::wstring::npos)
      return args.find(L"store.dll") != std::wstring::npos ? L"DCS_HEADER found.\r\n" : L"FileType: MZ, file will be copied";
    f.w.AddFile(kExtractWork + L"\\x86_s\\store.dll.expanded", "expanded");
    return L"Operation Successful\n";
  };
  ExtractionResult r = Extract(MakeCabinet({{"x86_s\\store.dll", "DCS\x01packed"}, {"plain.exe", "MZ"}}), o);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(f.w.FileBytes(kExtractWork + L"\\x86_s\\store.dll"), "expanded");
  EXPECT_EQ(f.w.FileBytes(kExtractWork + L"\\plain.exe"), "MZ");
  EXPECT_FALSE(f.w.Exists(kExtractWork + L"\\x86_s\\store.dll.expanded"));
  EXPECT_EQ(calls.size(), 3u);
}

// Without the compression API the file stays packed, and the log says why.
TEST_F(PackageExtraction, CompressedStoreFileWithoutADecompressorIsReported) {
  int expansions = 0;
  ExtractionOptions o;
  o.deltaExpander = [&](const std::wstring& args) -> std::wstring {
    if (args.find(L"DETECTION_ONLY") == std::wstring::npos) ++expansions;
    return L"\r\nRequired Cabinet API are missing, cannot decompress this file.";
  };
  // The sentence itself is the end-to-end packages case's.
  ExpectIncomplete(Extract(MakeCabinet({{"x86_s\\store.dll", "DCS\x01packed"}}), o), L"could not be expanded");
  EXPECT_EQ(expansions, 0);
  EXPECT_EQ(f.w.FileBytes(kExtractWork + L"\\x86_s\\store.dll"), std::string("DCS\x01packed"));
}

TEST_F(PackageExtraction, FailedWriteIsReportedAndTheWorkFolderIsRemovedAfterUse) {
  f.w.InjectFault(fake::Op::kWriteFile, L"deep.mum", 112);
  ExtractionResult r = Extract(NestedPackage());
  ExpectIncomplete(r, L"inner.cab with error code ");
  ASSERT_TRUE(RemoveExtraction(f.w.platform().fs, r.folder));
  EXPECT_FALSE(f.w.Exists(r.folder));
  EXPECT_TRUE(f.w.Exists(kPackage));
}

#endif

}  // namespace
}  // namespace corvex
