#include "fs/datablock_directives.h"

#include <gtest/gtest.h>

#include "security_test_support.h"

namespace corvex {
namespace {

using fake::Op;
using namespace testing;
const auto Create = CreateDataBlocksDirective;
const auto Delete = DeleteDataBlocksDirective;
const auto Print = PrintDataBlocksDirective;
const std::wstring kExists = L". A datablock for this item already exists.\r\n";

TEST(DataBlockDirective, AddsRecordsWhoseKeyIsNewAndClaimsNoneWhenTheSaveFails) {
  FakeSession f;
  SeedStore(f, kRecord);
  EXPECT_EQ(Ran(DataBlockDirective, f,
                {L"\"C:\\Windows\\Sysnative\\a.dll\"|D:(A;;FA;;;BA)|S-1-5-32-544",
                 kFile + L"|D:(A;;FA;;;WD)|S-1-1-0",
                 L"c:\\windows\\system32\\corvexdemo.dll|D:(A;;FA;;;WD)|S-1-1-0",
                 L"C:\\Windows\\System32\\a.dll|D:(A;;FA;;;WD)|S-1-1-0",
                 L"\"C:\\Windows\\Sysnative\"|D:(A;;FA;;;BA)|S-1-5-32-544"}),
            L"Successfully added datablock for C:\\Windows\\System32\\a.dll\r\n"
            L"Did not add datablock for " + kFile + kExists +
            L"Successfully added datablock for c:\\windows\\system32\\corvexdemo.dll\r\n"
            L"Did not add datablock for C:\\Windows\\System32\\a.dll" + kExists +
            L"Successfully added datablock for C:\\Windows\\System32\r\n");
  EXPECT_EQ(StoreText(f), kRecord +
                              L"\r\nC:\\Windows\\System32\\a.dll|D:(A;;FA;;;BA)|S-1-5-32-544"
                              L"\r\nc:\\windows\\system32\\corvexdemo.dll|D:(A;;FA;;;WD)|S-1-1-0"
                              L"\r\nC:\\Windows\\System32|D:(A;;FA;;;BA)|S-1-5-32-544");

  const std::string before = f.w.FileBytes(kStorePath);
  f.w.InjectFault(Op::kMoveFile, L"DataBlocks", 5);
  EXPECT_EQ(Ran(DataBlockDirective, f, {L"C:\\b|D:(A;;FA;;;BA)|BA", kRecord}, false),
            L"Did not add datablock for " + kFile + kExists + L"Failed to save datablocks.\r\n");
  EXPECT_EQ(f.w.FileBytes(kStorePath), before);
}

TEST(DataBlockDirective, BlankLinesAreNoRecordsAndLinesWithoutSecurityOrAPathAreFailures) {
  FakeSession f;
  EXPECT_EQ(Ran(DataBlockDirective, f, {L"\"\"", L"  "}), L"") << "nothing is claimed for blank lines";
  EXPECT_EQ(Ran(DataBlockDirective, f,
                {L"\"\"", L"C:\\a.dll", L"|D:(A;;FA;;;BA)|BA", L"\" \"|D:(A;;FA;;;BA)|BA", L"C:\\b.dll|D:(A;;FA;;;BA)|BA"},
                false),
            L"Did not add datablock for C:\\a.dll. The line holds no \"|\" between the path and its security.\r\n"
            L"Did not add datablock from line |D:(A;;FA;;;BA)|BA. The line names no file or folder before its \"|\".\r\n"
            L"Did not add datablock from line \" \"|D:(A;;FA;;;BA)|BA. The line names no file or folder before its "
            L"\"|\".\r\n"
            L"Successfully added datablock for C:\\b.dll\r\n");
  EXPECT_EQ(StoreText(f), L"C:\\b.dll|D:(A;;FA;;;BA)|BA");
  EXPECT_EQ(Ran(DataBlockDirective, f, {L"C:\\a.dll|D:(A;;FA;;;BA)|BA"}), L"Successfully added datablock for C:\\a.dll\r\n")
      << "the complete record is no duplicate of the refused line";
}

TEST(CreateDataBlocksDirective, CapturesDaclAndOwnerOfWhatARestoreCouldPutBack) {
  Protected f;
  f.w.AddFolder(L"C:\\Users\\Tester\\dir");
  EXPECT_EQ(Ran(Create, f, {L"C:\\Users\\Tester\\dir\\", L"\"\""}, false),
            L"Failed to create datablock for C:\\Users\\Tester\\dir\\. Trailing backslash or length error.\r\n"
            L"Failed to create datablock for . Trailing backslash or length error.\r\n");
  EXPECT_TRUE(f.w.processesRun.empty());
  EXPECT_FALSE(f.w.Exists(kStorePath));

  f.w.AddFile(L"C:\\Users\\Tester\\doc.txt", "d");
  EXPECT_EQ(Ran(Create, f, {L"\"" + kFile + L"\"", L"C:\\Users\\Tester\\doc.txt"}),
            L"Successfully created datablock for " + kFile + L".\r\n"
            L"Successfully created datablock for C:\\Users\\Tester\\doc.txt.\r\n");
  EXPECT_EQ(StoreText(f), kRecord + L"\r\nC:\\Users\\Tester\\doc.txt|" + fake::FakeSecurity::kDefaultFileDacl +
                              L"|S-1-5-32-544");
  // icacls's arguments: the end-to-end case of new datablocks under WOW64.
  EXPECT_FALSE(f.w.Exists(kAclFile));
  EXPECT_EQ(f.w.security().DescriptorOf(kFile).dacl, kProtectedDacl) << "capturing changes nothing";

  EXPECT_EQ(Ran(Create, f, {kFile}, false),
            L"Failed to create datablock for " + kFile + L". Datablock already exists.\r\n");

  Protected g;
  g.w.InjectFault(Op::kReadOwner, L"corvexdemo", 5);
  Ran(Create, g, {kFile});
  EXPECT_EQ(StoreText(g), kFile + L"|" + kProtectedDacl + L"|S-1-0-0") << "an unreadable owner is the null SID";
}

TEST(CreateDataBlocksDirective, FailuresOfIcaclsAndItsFile) {
  Protected f;
  const std::wstring failed = L"Failed to create datablock for " + kFile + L". ";

  // The failed start's own code, in decimal.
  f.w.InjectFault(Op::kRunProcess, L"icacls", 193);
  EXPECT_EQ(Ran(Create, f, {kFile}, false), failed + L"Failed to create process with error code 193.\r\n");
  EXPECT_EQ(Ran(Create, f, {L"C:\\Windows\\System32\\none.dll"}, false),
            L"Failed to create datablock for C:\\Windows\\System32\\none.dll. Process returned with error "
            L"code ERROR_FILE_NOT_FOUND.\r\n");

  // Exit 0 with no file, with a stale file of an earlier run, with a name
  // but no SDDL line, with several objects (a wildcard).
  f.w.OnProcess(L"icacls.exe", [](const platform::ProcessRequest&) { return platform::ProcessOutcome{}; });
  f.w.AddFile(kAclFile, ToUtf16Le(L"corvexdemo.dll\r\nD:(A;;FA;;;WD)\r\n"));
  EXPECT_EQ(Ran(Create, f, {kFile}, false), failed + L"File not found.\r\n");
  f.w.OnProcess(L"icacls.exe", [&](const platform::ProcessRequest&) {
    f.w.AddFile(kAclFile, ToUtf16Le(L"corvexdemo.dll\r\n"));
    return platform::ProcessOutcome{};
  });
  EXPECT_EQ(Ran(Create, f, {kFile}, false), failed + L"Failed to process file.\r\n");
  EXPECT_FALSE(f.w.Exists(kAclFile));
  f.w.OnProcess(L"icacls.exe", [&](const platform::ProcessRequest&) {
    f.w.AddFolder(kAclFile);
    return platform::ProcessOutcome{};
  });
  EXPECT_EQ(Ran(Create, f, {kFile}, false), failed + L"File not found.\r\n") << "a folder is no save file";
  f.w.platform().fs.RemoveFolder(kAclFile);

  f.w.security().InstallIcacls();
  f.w.InjectFault(Op::kReadFile, L"\\aclfile", 32);
  EXPECT_EQ(Ran(Create, f, {kFile}, false), failed + L"Failed to process file.\r\n")
      << "a save file that cannot be read is no missing file";

  f.w.AddFile(L"C:\\Windows\\System32\\corvexdemo2.dll", "y");
  EXPECT_EQ(Ran(Create, f, {L"C:\\Windows\\System32\\corvexdemo*.dll"}, false),
            L"Failed to create datablock for C:\\Windows\\System32\\corvexdemo*.dll. Failed to process file.\r\n");
  EXPECT_FALSE(f.w.Exists(kStorePath));

  f.w.InjectFault(Op::kWriteFile, L"DataBlocks.new", 112);
  EXPECT_EQ(Ran(Create, f, {kFile, L"C:\\Windows\\System32\\corvexdemo2.dll"}, false),
            failed + L"Failed to save datablocks.\r\n"
                     L"Failed to create datablock for C:\\Windows\\System32\\corvexdemo2.dll. Failed to save "
                     L"datablocks.\r\n")
      << "one write for the whole directive, and no line claims what it did not store";
  EXPECT_FALSE(f.w.Exists(kStorePath));
}

TEST(DeleteDataBlocksDirective, DeletesExactKeysAndTheStoreWithTheLastButNothingOnAFailedWrite) {
  FakeSession f;
  SeedStore(f, L"C:\\a|D:(A;;FA;;;BA)|BA\r\n" + kRecord + L"\r\nC:\\b|D:(A;;FA;;;BA)|BA");
  EXPECT_EQ(Ran(Delete, f, {L"\"C:\\Windows\\Sysnative\\corvexdemo.dll\"", L"c:\\a", L"C:\\none"}),
            L"Successfully deleted datablock for file " + kFile + L"\r\n");
  EXPECT_EQ(StoreText(f), L"C:\\a|D:(A;;FA;;;BA)|BA\r\nC:\\b|D:(A;;FA;;;BA)|BA");
  // The last record taking the file with it: the end-to-end datablock case.

  SeedStore(f, kRecord);
  EXPECT_EQ(Ran(Delete, f, {}), L"Successfully deleted all datablocks.");
  EXPECT_FALSE(f.w.Exists(kStorePath));
  Ran(Delete, f, {});  // nothing to delete is no failure

  // A failed write keeps every record.
  SeedStore(f, L"C:\\a|D:(A;;FA;;;BA)|BA\r\n" + kRecord);
  const std::string before = f.w.FileBytes(kStorePath);
  f.w.InjectFault(Op::kWriteFile, L"DataBlocks.new", 112);
  EXPECT_EQ(Ran(Delete, f, {L"C:\\a"}, false), L"Failed to save datablocks.\r\n");
  EXPECT_EQ(f.w.FileBytes(kStorePath), before);

  f.w.InjectFault(Op::kDeleteFile, L"DataBlocks", 32);
  f.w.InjectFault(Op::kWriteFile, L"DataBlocks.new", 112);
  EXPECT_EQ(Ran(Delete, f, {}, false), L"Failed to save datablocks.\r\n");
  EXPECT_EQ(f.w.FileBytes(kStorePath), before);
  f.w.InjectFault(Op::kDeleteFile, L"DataBlocks", 32);
  Ran(Delete, f, {});  // a store that cannot go is emptied
  EXPECT_EQ(StoreText(f), L"");
}

TEST(PrintAndCountDataBlocksDirectives, WholeStoreOrTheAskedRecords) {
  FakeSession f;
  // A line without a bar is printed by its text.
  SeedStore(f, L"\r\n" + kRecord + L"\r\nC:\\junk\r\nC:\\a|D:(A;;FA;;;BA)|BA\r\n\r\n");
  EXPECT_EQ(Ran(Print, f, {}), kRecord + L"\r\nC:\\junk\r\nC:\\a|D:(A;;FA;;;BA)|BA");
  EXPECT_EQ(Ran(Print, f, {L"\"C:\\Windows\\Sysnative\\corvexdemo.dll\"", L"C:\\A", L"C:\\junk"}),
            kRecord + L"\r\nNo datablock exists for C:\\A\r\nC:\\junk\r\nCurrently storing a total of 3 datablocks.\r\n");
  EXPECT_EQ(Ran(CountDataBlocksDirective, f, {}), L"Currently storing 3 datablocks.");
}

TEST(DataBlockDirectives, EachReadsTheStoreOnceAndWritesItOnce) {
  // Every read or write of the store after the first fails: a directive that
  // goes back to the file for each line cannot get through.
  const Lines files = {L"C:\\Users\\Tester\\a.txt", L"C:\\Users\\Tester\\b.txt", L"C:\\Users\\Tester\\c.txt"};
  Lines records;
  for (auto& p : files) records.push_back(p + L"|D:(A;;FA;;;BA)|BA");
  struct Case {
    const char* name;
    DirectiveHandler handler;
    Lines lines;
    bool seeded;
  } cases[] = {
      {"DataBlock::", &DataBlockDirective, records, false},
      {"CreateDataBlocks::", &CreateDataBlocksDirective, files, false},
      {"DeleteDataBlocks::", &DeleteDataBlocksDirective, files, true},
      {"PrintDataBlocks::", &PrintDataBlocksDirective, files, true},
  };
  for (const Case& c : cases) {
    FakeSession f;
    for (auto& p : files) f.w.AddFile(p, "x");
    if (c.seeded) SeedStore(f, Join(records, L"\r\n"));
    f.w.InjectFault(Op::kReadFile, L"\\DataBlocks", 32, -1, 1);
    f.w.InjectFault(Op::kOpenFile, L"DataBlocks.new", 5, -1, 1);
    SCOPED_TRACE(c.name);
    const std::wstring report = Ran(c.handler, f, c.lines);
    EXPECT_EQ(Count(report, L"C:\\Users\\Tester\\"), 3u) << "a sentence for each line: " << ToUtf8(report);
  }
}

}  // namespace
}  // namespace corvex
