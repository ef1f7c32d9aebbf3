#include "core/working_folders.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace corvex {
namespace {

using testing::kWork;

using testing::FakeSession;

TEST(WorkingFolders, WriteFailsOnlyWhenTheFolderCannotBeMade) {
  FakeSession f;
  f.w.InjectFault(fake::Op::kCreateFolder, L"Tallwen", 5);
  EXPECT_EQ(WriteWorkingFile(f.s, L"Reboot_Script", L"x").code(), 5u);
  EXPECT_TRUE(WriteWorkingFile(f.s, L"Reboot_Script", L"PowerCopy::").ok());
  EXPECT_EQ(ReadWorkingFile(f.s, L"Reboot_Script").value_or(L"?"), L"PowerCopy::");
  EXPECT_EQ(ReadWorkingFile(f.s, L"Reboot_Debug_Log").code(), 2u);
  EXPECT_TRUE(WorkingFileExists(f.s, L"Reboot_Script"));
  EXPECT_FALSE(WorkingFileExists(f.s, L"Temp")) << "a folder is not a working file";
}

TEST(DeleteMatching, StatusCodesFailuresAndFolderRemoval) {
  FakeSession f;
  f.w.AddFile(kWork + L"\\Reboot_Neat_Log", "a");
  f.w.AddFile(kWork + L"\\Reboot_Script", "b", 0x1 /* read-only */);
  f.w.AddFile(kWork + L"\\DataBlocks", "c");
  EXPECT_EQ(DeleteMatching(f.s, L"", L"*.*"), DeleteResult::kNoFolder);
  EXPECT_EQ(DeleteMatching(f.s, kWork, L"Reboot_*"), DeleteResult::kAllDeleted);
  EXPECT_FALSE(f.w.Exists(kWork + L"\\Reboot_Neat_Log"));
  EXPECT_FALSE(f.w.Exists(kWork + L"\\Reboot_Script")) << "read-only files are made normal first";
  EXPECT_TRUE(f.w.Exists(kWork + L"\\DataBlocks"));
  EXPECT_EQ(DeleteMatching(f.s, kWork, L"Reboot_*"), DeleteResult::kNothingMatched);
  EXPECT_EQ(DeleteMatching(f.s, L"C:\\no\\such", L"*.*", FolderAfter::kRemove), DeleteResult::kNothingMatched);

  f.w.AddFile(kWork + L"\\Temp\\sub\\x.bin", "x");
  f.w.AddFile(kWork + L"\\Temp\\y.bin", "y");
  f.w.InjectFault(fake::Op::kDeleteFile, L"y.bin", 32);
  EXPECT_EQ(DeleteMatching(f.s, kWork + L"\\Temp", L"*.*"), DeleteResult::kSomethingStayed);
  EXPECT_FALSE(f.w.Exists(kWork + L"\\Temp\\sub\\x.bin"));
  EXPECT_TRUE(f.w.IsFolder(kWork + L"\\Temp\\sub")) << "sub-folders are emptied, not removed";
  EXPECT_EQ(DeleteMatching(f.s, kWork + L"\\Temp", L"*.bin", FolderAfter::kRemove), DeleteResult::kFolderStayed)
      << "sub remains, so Temp cannot go";
  f.w.InjectFault(fake::Op::kFind, L"Temp\\sub\\", 5);
  EXPECT_EQ(DeleteMatching(f.s, kWork + L"\\Temp", L"*.*"), DeleteResult::kSomethingStayed)
      << "a sub-folder that cannot be searched is not reported as emptied";
  f.w.AddFile(L"C:\\gone\\a", "a");
  EXPECT_EQ(DeleteMatching(f.s, L"C:\\gone\\", L"*.*", FolderAfter::kRemove), DeleteResult::kAllDeleted);
  EXPECT_FALSE(f.w.Exists(L"C:\\gone"));
}

TEST(ListFiles, BreadthFirstAndPatternsFallBackToEveryEntryWhereNothingMatches) {
  FakeSession f;
  for (const wchar_t* file : {L"C:\\r\\b.txt", L"C:\\r\\d1\\c.dll", L"C:\\r\\d1\\d2\\e.dll", L"C:\\r\\d3\\x.txt",
                              L"C:\\r\\d3\\d4\\g.dll"})
    f.w.AddFile(file, "");
  auto all = ListFiles(f.s, L"C:\\r", L"*.*", true);
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0], L"C:\\r\\b.txt");
  EXPECT_EQ(all[3], L"C:\\r\\d1\\d2\\e.dll") << "deeper levels come later";
  // C:\r and d3 hold no match, so their folders are walked; d1 holds one,
  // so only its matches are taken and d2 is not entered.
  EXPECT_EQ(ListFiles(f.s, L"C:\\r", L"*.dll", true),
            (std::vector<std::wstring>{L"C:\\r\\d1\\c.dll", L"C:\\r\\d3\\d4\\g.dll"}));
  EXPECT_TRUE(ListFiles(f.s, L"C:\\nowhere", L"*.*", true).empty());
}

TEST(CreateFolderChain, MakesEveryMissingParentOrSaysWhyNot) {
  // A plain chain and a file in the way: CreateDirectory.ModesAndTheirSentences; an existing chain: the
  // second run of PowerCopy.ReplacesAProtectedFileBackingItUpOnceAndPuttingItsSecurityBack.
  FakeSession f;
  EXPECT_TRUE(CreateFolderChain(f.s, L"\\\\?\\C:\\Corvex\\Backups\\a/b\\").ok()) << "prefix, slashes, trailing backslash";
  EXPECT_TRUE(f.w.IsFolder(L"C:\\Corvex\\Backups\\a\\b"));
  f.w.AddFile(L"C:\\file", "x");
  EXPECT_EQ(CreateFolderChain(f.s, L"C:\\file").code(), 80u) << "a file where the folder would be";
  f.w.InjectFault(fake::Op::kCreateFolder, L"C:\\deny\\inner", 5);
  EXPECT_EQ(CreateFolderChain(f.s, L"C:\\deny\\inner\\leaf").code(), 5u);
  EXPECT_FALSE(f.w.Exists(L"C:\\deny\\inner\\leaf"));
  EXPECT_EQ(CreateFolderChain(f.s, L"C:\\").code(), 123u) << "a drive is no folder to create";
}

}  // namespace
}  // namespace corvex
