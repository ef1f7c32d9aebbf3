// The store itself, the parsing of icacls's save files and the operations
// that other directives call.
#include "core/datablock_store.h"

#include <gtest/gtest.h>

#include "fs/datablock_count.h"
#include "fs/datablock_directives.h"
#include "fs/datablocks.h"
#include "sample_files.h"
#include "core/text_reader.h"
#include "security_test_support.h"

namespace corvex {
namespace {

using fake::Op;
using namespace testing;

// The records as every operation reads them.
std::vector<std::wstring> Records(FakeSession& f) {
  DataBlockStore store;
  EXPECT_TRUE(store.Load(f.s));
  return store.records();
}

TEST(DataBlockStore, StoredFormOfPathsAndRecordsSplitAtEveryKindOfLineEnd) {
  FakeSession f;
  EXPECT_EQ(StoredPath(f.s, L"\"C:\\Windows\\Sysnative\\drivers\\x.sys\""), L"C:\\Windows\\System32\\drivers\\x.sys");
  EXPECT_EQ(StoredPath(f.s, L"\\\\?\\C:\\Windows\\Sysnative\\x.dll"), L"C:\\Windows\\System32\\x.dll");
  EXPECT_EQ(StoredPath(f.s, L"C:\\windows\\sysnative\\x.dll"), L"C:\\windows\\System32\\x.dll");
  EXPECT_EQ(StoredPath(f.s, L"D:\\Backup\\Sysnative\\x.dll"), L"D:\\Backup\\Sysnative\\x.dll")
      << "only the Windows folder has the alias";
  using Records = std::vector<std::wstring>;
  const std::pair<std::wstring, Records> cases[] = {
      {L" \r\n\r\nA|1\r\n\r\nB|2\r\n ", {L"A|1", L"B|2"}},
      {L"A|1\nB|2\r\nC|3\r\r\nD|4", {L"A|1", L"B|2", L"C|3", L"D|4"}},
      {L"A|1\r\n   \r\n\t\r\nB|2", {L"A|1", L"B|2"}},  // a line of blanks is no record
      {L"", {}},
      {L"\r\r\n\n", {}},
  };
  for (auto& [text, records] : cases) EXPECT_EQ(SplitRecords(text), records) << ToUtf8(text);
}

TEST(DataBlockStore, AStoreWithCarriageReturnsAloneOrEightBitTextKeepsEveryRecord) {
  Protected f;
  const std::wstring other = L"C:\\Users\\Tester\\a.txt|D:(A;;FA;;;BA)|S-1-5-32-544";
  f.w.AddFile(kStorePath, Utf16Bom(other + L"\r" + kRecord + L"\r"));
  EXPECT_EQ(Records(f), (std::vector<std::wstring>{other, kRecord}));
  EXPECT_EQ(AddFileDataBlock(f.s, kFile, L""), datablock::kAlreadyStored) << "the second line is found";
  EXPECT_EQ(FindRegistryDataBlock(f.s, kFile), std::wstring(kProtectedDacl) + L"|" + kTrustedInstaller)
      << "and its owner field carries no line end";

  f.w.AddFile(L"C:\\Users\\Tester\\b.txt", "b");
  EXPECT_EQ(AddFileDataBlock(f.s, L"C:\\Users\\Tester\\b.txt", L"S-1-5-18"), datablock::kStored);
  EXPECT_EQ(StoreText(f), other + L"\r\n" + kRecord + L"\r\nC:\\Users\\Tester\\b.txt|" +
                              fake::FakeSecurity::kDefaultFileDacl + L"|S-1-5-18")
      << "written back with CR LF, nothing lost";

  // An eight-bit store of an older run: no byte-order mark, one byte a
  // character, LF line ends.
  const std::wstring first = L"C:\\Users\\Jos\u00e9\\doc.txt|D:(A;;FA;;;BA)|S-1-5-32-544";
  f.w.AddFile(kStorePath, ToLatin1(first + L"\n" + kRecord + L"\n"));
  EXPECT_EQ(Records(f), (std::vector<std::wstring>{first, kRecord}));
  EXPECT_EQ(FindRegistryDataBlock(f.s, L"C:\\Users\\Jos\u00e9\\doc.txt"), L"D:(A;;FA;;;BA)|S-1-5-32-544");

  EXPECT_TRUE(AddRegistryDataBlock(f.s, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\X", L"O:BAG:SYD:(A;;KA;;;BA)"));
  EXPECT_EQ(f.w.FileBytes(kStorePath),
            Utf16Bom(first + L"\r\n" + kRecord + L"\r\nHKEY_LOCAL_MACHINE\\SOFTWARE\\X|O:BAG:SYD:(A;;KA;;;BA)"))
      << "rewritten as UTF-16LE with every old record";
}

TEST(DataBlockStore, ALineWithoutABarHoldsNoSecurity) {
  FakeSession f;
  const std::wstring doc = L"C:\\Users\\Tester\\doc.txt";
  const std::wstring record = doc + L"|" + fake::FakeSecurity::kDefaultFileDacl + L"|S-1-5-32-544";
  f.w.AddFile(doc, "d");
  SeedStore(f, doc + L"\r\nC:\\x|D:(A;;FA;;;BA)|BA");
  DataBlockStore store;
  ASSERT_TRUE(store.Load(f.s));
  EXPECT_EQ(store.FindFileRecord(doc), nullptr);
  ASSERT_NE(store.FindKey(doc), nullptr);
  EXPECT_EQ(*store.FindKey(doc), doc);
  EXPECT_EQ(*store.FindFileRecord(L"C:\\x"), L"C:\\x|D:(A;;FA;;;BA)|BA");
  SeedStore(f, doc);
  EXPECT_EQ(AddFileDataBlock(f.s, doc, L""), datablock::kStored)
      << "the path has no saved security yet, so it is captured";
  EXPECT_EQ(StoreText(f), doc + L"\r\n" + record);
  f.w.security().SetDescriptor(doc, L"S-1-1-0", L"D:(A;;FA;;;WD)");
  std::wstring report;
  EXPECT_TRUE(RestoreFromDataBlock(f.s, doc, report)) << report;
  EXPECT_EQ(f.w.security().DescriptorOf(doc).dacl, fake::FakeSecurity::kDefaultFileDacl);
  EXPECT_EQ(f.w.security().DescriptorOf(doc).owner, L"S-1-5-32-544");
}

TEST(DataBlockStore, AnUnreadableStoreIsAFailureNotAnEmptyStore) {
  Protected f;
  SeedStore(f, kRecord);
  f.w.InjectFault(Op::kReadFile, L"\\DataBlocks", 32, -1);
  const std::wstring unreadable = L"Failed to read datablocks with error code ERROR_SHARING_VIOLATION.";
  std::wstring report;
  EXPECT_FALSE(RestoreFromDataBlock(f.s, kFile, report));
  EXPECT_EQ(report, L"Failed to read stored datablocks for file or folder " + kFile +
                        L" in RestoreFromDataBlock with error code ERROR_SHARING_VIOLATION.\r\n");
  EXPECT_TRUE(f.w.processesRun.empty());
  for (const Lines& lines : {Lines{}, Lines{kFile}})
    EXPECT_EQ(Ran(PrintDataBlocksDirective, f, lines, false), unreadable + L"\r\n");
  EXPECT_EQ(Ran(CountDataBlocksDirective, f, {}, false), unreadable);
  EXPECT_EQ(StoredDataBlocksSentence(f.s), unreadable) << "the session log footer's line";
  const std::string before = f.w.FileBytes(kStorePath);
  EXPECT_EQ(ReplaceFileDataBlock(f.s, L"C:\\x", L"O:BAG:BAD:(A;;FA;;;BA)"), datablock::kStoreUnreadable);
  EXPECT_EQ(f.w.FileBytes(kStorePath), before) << "a store that cannot be read is never overwritten";
  f.w.ClearFaults();
  EXPECT_EQ(StoredDataBlocksSentence(f.s), L"Currently storing 1 datablocks.");
}

TEST(IcaclsSave, RealSaveFilesParse) {
  std::wstring windir = DecodeText(ReadSample("windows/icacls-save-windir-1.acl"));
  auto all = ParseIcaclsSaveAll(windir);
  ASSERT_EQ(all.size(), 14u);
  EXPECT_EQ(all[0].name, L"AAct_Tools");
  EXPECT_EQ(all[6].name, L"bfsvc.exe");
  EXPECT_EQ(all[6].sddl,
            L"D:PAI(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;;0x1200a9;;;BA)"
            L"(A;;0x1200a9;;;SY)(A;;0x1200a9;;;BU)(A;;0x1200a9;;;AC)(A;;0x1200a9;;;S-1-15-2-2)S:AI");
  for (auto& entry : all) EXPECT_EQ(entry.sddl.substr(0, 2), L"D:") << entry.name;
  auto system32 = ParseIcaclsSaveAll(DecodeText(ReadSample("windows/icacls-save-system32-excerpt.acl")));
  ASSERT_EQ(system32.size(), 200u);
  EXPECT_EQ(system32[0].name, L".ipynb_checkpoints");

  SavedAcl acl;
  EXPECT_EQ(ParseIcaclsSave(windir, L"C:\\Windows\\bfsvc.exe", acl), SavedAclStatus::kUnusable)
      << "a file of many objects is no one object's record";
  std::wstring one = all[6].name + L"\r\n" + all[6].sddl + L"\r\n";
  ASSERT_EQ(ParseIcaclsSave(one, L"C:\\Windows\\bfsvc.exe", acl), SavedAclStatus::kOk);
  EXPECT_EQ(acl.sddl, all[6].sddl);
  EXPECT_EQ(ParseIcaclsSave(one, L"C:\\Windows\\BFSVC.EXE", acl), SavedAclStatus::kOk);
  EXPECT_EQ(ParseIcaclsSave(one, L"C:\\Windows\\other.exe", acl), SavedAclStatus::kUnusable)
      << "another object's file";
  EXPECT_EQ(ParseIcaclsSave(L"bfsvc.exe\r\n", L"C:\\Windows\\bfsvc.exe", acl), SavedAclStatus::kUnusable)
      << "no SDDL line after the name";
  EXPECT_EQ(ParseIcaclsSave(L"bfsvc.exe\r\nO:BA\r\n", L"C:\\Windows\\bfsvc.exe", acl), SavedAclStatus::kUnusable);
  EXPECT_EQ(ParseIcaclsSave(L"", L"C:\\Windows\\bfsvc.exe", acl), SavedAclStatus::kUnusable);
}

TEST(AddFileDataBlock, FailuresStoreNothingAndASuccessStoresTheSavedDaclAndTheGivenOwner) {
  Protected f;
  EXPECT_EQ(AddFileDataBlock(f.s, L"\"\"", L"S-1-5-18"), datablock::kEmptyPath);
  EXPECT_EQ(AddFileDataBlock(f.s, L"C:\\Windows\\System32\\none.dll", L"S-1-5-18"), datablock::kObjectMissing);

  f.w.InjectFault(Op::kRunProcess, L"icacls", 193);
  EXPECT_EQ(AddFileDataBlock(f.s, kFile, L"S-1-5-18"), datablock::kIcaclsNotStarted);

  // icacls says it succeeded but left no file, or one without an SDDL line.
  f.w.OnProcess(L"icacls.exe", [&](const platform::ProcessRequest&) { return platform::ProcessOutcome{}; });
  EXPECT_EQ(AddFileDataBlock(f.s, kFile, L"S-1-5-18"), datablock::kSavedAclUnusable);
  f.w.OnProcess(L"icacls.exe", [&](const platform::ProcessRequest&) {
    f.w.AddFile(kOutAclFile, ToUtf16Le(L"corvexdemo.dll\r\n"));
    return platform::ProcessOutcome{};
  });
  EXPECT_EQ(AddFileDataBlock(f.s, kFile, L"S-1-5-18"), datablock::kSavedAclUnusable) << "no SDDL line";
  EXPECT_FALSE(f.w.Exists(kStorePath));

  f.w.security().InstallIcacls();
  f.w.InjectFault(Op::kWriteFile, L"DataBlocks.new", 112);
  EXPECT_EQ(AddFileDataBlock(f.s, kFile, L"S-1-5-18"), datablock::kStoreNotWritten);
  EXPECT_FALSE(f.w.Exists(kStorePath));

  // A second add keeping the first record: TakeAndRestorePermissions.RoundTripGivesBackOwnerAndDaclExactly;
  // the owner read when none is given: DataBlockStore.ALineWithoutABarHoldsNoSecurity.
  EXPECT_EQ(AddFileDataBlock(f.s, L"\"" + kFile + L"\"", kTrustedInstaller), datablock::kStored);
  EXPECT_EQ(StoreText(f), kRecord);
  EXPECT_FALSE(f.w.processesRun.back().visible);
  EXPECT_FALSE(f.w.Exists(kOutAclFile));
}

TEST(AddFileDataBlock, NamesBeyondLatin1AndTheRealToolsSddlAreReadFromTheSaveFile) {
  FakeSession f;
  // The save file begins with the name; its first character's high byte is
  // not zero.
  const std::wstring doc = L"C:\\Users\\Tester\\\u6587\u4ef6.txt";
  const std::wstring sddl = L"D:PAI(A;;FA;;;BA)(A;;FA;;;SY)";
  f.w.AddFile(doc, "d");
  f.w.security().SetDescriptor(doc, L"S-1-5-32-544", sddl);
  EXPECT_EQ(AddFileDataBlock(f.s, doc, L""), datablock::kStored);
  EXPECT_EQ(StoreText(f), doc + L"|" + sddl + L"|S-1-5-32-544");

  // The real tool's SDDL is kept exactly.
  SavedAcl bfsvc = ParseIcaclsSaveAll(DecodeText(ReadSample("windows/icacls-save-windir-1.acl")))[6];
  f.w.AddFile(L"C:\\Windows\\bfsvc.exe", "MZ");
  f.w.OnProcess(L"icacls.exe", [&](const platform::ProcessRequest&) {
    f.w.AddFile(kOutAclFile, ToUtf16Le(bfsvc.name + L"\r\n" + bfsvc.sddl + L"\r\n"));
    return platform::ProcessOutcome{};
  });
  EXPECT_EQ(AddFileDataBlock(f.s, L"C:\\Windows\\bfsvc.exe", kTrustedInstaller), datablock::kStored);
  EXPECT_TRUE(EndsWith(StoreText(f), L"\r\nC:\\Windows\\bfsvc.exe|" + bfsvc.sddl + L"|" + kTrustedInstaller));
}

TEST(AddFileDataBlock, PathsThatCouldNotBeRestoredAreRefused) {
  FakeSession f;
  f.w.AddFolder(L"C:\\Users\\Tester\\dir");
  for (const std::wstring path : {L"C:\\Users\\Tester\\dir\\", L"C:\\Users\\Tester\\dir\\\\"}) {
    EXPECT_EQ(AddFileDataBlock(f.s, path, L"S-1-5-32-544"), datablock::kNotRestorable) << path;
    std::wstring report;
    EXPECT_FALSE(RestoreFromDataBlock(f.s, path, report)) << "the restore that the record would have needed";
  }
  EXPECT_TRUE(f.w.processesRun.empty());
  EXPECT_FALSE(f.w.Exists(kStorePath));
  EXPECT_EQ(AddFileDataBlock(f.s, L"C:\\Users\\Tester\\dir", L"S-1-5-32-544"), datablock::kStored)
      << "the same folder named without the backslash";
}

TEST(ReplaceFileDataBlock, TakesOwnerAndDaclFromTheDescriptor) {
  FakeSession f;
  SeedStore(f, L"C:\\a|D:(A;;FA;;;BA)|S-1-5-32-544\r\n" + kRecord);
  EXPECT_EQ(ReplaceFileDataBlock(f.s, L"C:\\a", L"O:S-1-5-18G:S-1-5-18D:P(A;;FA;;;SY)"), datablock::kStored);
  EXPECT_EQ(StoreText(f), kRecord + L"\r\nC:\\a|D:P(A;;FA;;;SY)|S-1-5-18");
  EXPECT_EQ(ReplaceFileDataBlock(f.s, L"C:\\b", L"O:BAD:(A;;FA;;;BA)"), datablock::kStored) << "no group part";
  EXPECT_TRUE(EndsWith(StoreText(f), L"\r\nC:\\b|D:(A;;FA;;;BA)|BA"));
  EXPECT_EQ(ReplaceFileDataBlock(f.s, L"C:\\c", L"D:(A;;FA;;;BA)"), datablock::kDescriptorUnusable);
  EXPECT_EQ(ReplaceFileDataBlock(f.s, L"C:\\c", L"O:G:BAD:(A;;FA;;;BA)"), datablock::kDescriptorUnusable);
  EXPECT_EQ(ReplaceFileDataBlock(f.s, L"C:\\c", L"O:BAG:BA"), datablock::kDescriptorUnusable);
  EXPECT_EQ(Count(StoreText(f), L"C:\\c"), 0u);
}

TEST(RegistryDataBlocks, KeysIgnoreCaseWhileFileKeysDoNot) {
  FakeSession f;
  SeedStore(f, kRecord);
  EXPECT_TRUE(AddRegistryDataBlock(f.s, L"HKEY_LOCAL_MACHINE\\COMPONENTS\\A", L" O:BAG:SYD:(A;;KA;;;BA) "));
  EXPECT_TRUE(AddRegistryDataBlock(f.s, L"hkey_local_machine\\components\\a", L"O:SYG:SYD:(A;;KA;;;SY)"));
  EXPECT_EQ(Count(StoreText(f), L"|O:"), 1u) << "the same key in other letters is not added again";
  EXPECT_FALSE(AddRegistryDataBlock(f.s, L"", L"O:BA"));
  EXPECT_FALSE(AddRegistryDataBlock(f.s, L"HKLM\\X", L"  "));
  EXPECT_EQ(FindRegistryDataBlock(f.s, L"Hkey_Local_Machine\\Components\\A"), L"O:BAG:SYD:(A;;KA;;;BA)");
  EXPECT_EQ(FindRegistryDataBlock(f.s, L"HKLM\\none"), L"");
  EXPECT_EQ(FindRegistryDataBlock(f.s, L"c:\\windows\\system32\\CORVEXDEMO.DLL"),
            std::wstring(kProtectedDacl) + L"|" + kTrustedInstaller);

  EXPECT_TRUE(CopyRegistryDataBlock(f.s, L"HKEY_LOCAL_MACHINE\\components\\A", L"HKLM\\Copy"));
  EXPECT_EQ(FindRegistryDataBlock(f.s, L"hklm\\copy"), L"O:BAG:SYD:(A;;KA;;;BA)");
  const std::wstring before = StoreText(f);
  EXPECT_TRUE(CopyRegistryDataBlock(f.s, L"HKEY_LOCAL_MACHINE\\COMPONENTS\\A", L"HKLM\\COPY"));
  EXPECT_TRUE(CopyRegistryDataBlock(f.s, L"HKLM\\none", L"HKLM\\other"));
  EXPECT_EQ(StoreText(f), before) << "an existing destination or a missing source changes nothing";
}

}  // namespace
}  // namespace corvex
