#include "script/script_loader.h"

#include <gtest/gtest.h>

#include "sample_files.h"
#include "script/file_hash.h"
#include "script/script_list.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

const std::wstring kExe = L"C:\\Users\\Tester\\Downloads\\Corvex.exe";

TEST(FileHash, Sha256AsHexAndBase64) {
  FakeSession f;
  f.w.AddFile(L"C:\\abc.txt", "abc");
  EXPECT_EQ(HashFile(f.s, L"C:\\abc.txt"), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HexToBase64(HashFile(f.s, L"C:\\abc.txt")), L"ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=");
  EXPECT_EQ(HexToBase64(L"BA7816"), L"ungW");
  EXPECT_EQ(HashFile(f.s, L"C:\\missing.txt"), L"");
}

TEST(LoadScript, TextScriptLineAndBlankLines) {
  FakeSession f;
  f.w.AddFile(L"C:\\My Scripts\\Fix.TXT", testing::Utf16Bom(L"Debug::\r\n"));
  std::wstring script, archive;
  ASSERT_TRUE(LoadScript(f.s, {kExe, L"C:\\My", L"Scripts\\Fix.TXT"}, script, archive));
  EXPECT_EQ(script, L"Debug::\r\n");
  EXPECT_EQ(archive, L"");
  EXPECT_EQ(f.s.scriptPath, L"C:\\My Scripts\\Fix.TXT");
  EXPECT_EQ(f.s.log, L"Using .txt script file at C:\\My Scripts\\Fix.TXT [0]\r\n\r\n\r\n\r\n\r\n");
  EXPECT_EQ(f.s.scriptHash.size(), 44u);
}

TEST(LoadScript, EmptyOrUnreadableScriptFails) {
  FakeSession f;
  f.w.AddFile(L"C:\\empty.txt", "");
  std::wstring script, archive;
  EXPECT_FALSE(LoadScript(f.s, {kExe, L"C:\\empty.txt"}, script, archive));
  EXPECT_EQ(script, L"");
  EXPECT_EQ(f.s.log,
            L"Using .txt script file at C:\\empty.txt [0]\r\nFailed to read script or malformed script.\r\n\r\n\r\n\r\n\r\n");
  FakeSession g;
  EXPECT_FALSE(LoadScript(g.s, {kExe, L"C:\\absent.txt"}, script, archive));
  EXPECT_EQ(g.s.log,
            L"Using .txt script file at C:\\absent.txt []\r\nFailed to read script or malformed script.\r\n\r\n\r\n\r\n\r\n");
  EXPECT_EQ(g.s.scriptHash, L"");
  // Only a text with nothing in it fails; blanks are a script with no directive.
  FakeSession h;
  h.w.AddFile(L"C:\\blank.txt", " \r\n");
  ASSERT_TRUE(LoadScript(h.s, {kExe, L"C:\\blank.txt"}, script, archive));
  EXPECT_EQ(script, L" \r\n");
  EXPECT_EQ(h.s.log, L"Using .txt script file at C:\\blank.txt [0]\r\n\r\n\r\n\r\n\r\n");
}

TEST(LoadScript, LinesEndedByCrAloneGetCrLf) {
  FakeSession f;
  f.w.AddFile(L"C:\\mac.txt", "Debug::\rNo cbs\r\r\nNo surt");
  std::wstring script, archive;
  ASSERT_TRUE(LoadScript(f.s, {kExe, L"C:\\mac.txt"}, script, archive));
  EXPECT_EQ(script, L"Debug::\r\nNo cbs\r\n\r\nNo surt");
}

TEST(LoadScript, NoArgumentOrOtherExtensionRunsTheAnalysis) {
  for (auto args : {std::vector<std::wstring>{kExe}, std::vector<std::wstring>{kExe, L"C:\\x.log"},
                    std::vector<std::wstring>{kExe, L""}}) {
    FakeSession f;
    std::wstring script, archive;
    ASSERT_TRUE(LoadScript(f.s, args, script, archive));
    EXPECT_EQ(script, L"AutoAnalysis::\r\nDisplayIntro");
    EXPECT_EQ(f.s.log, L"Not using a script file.\r\n\r\n\r\n\r\n\r\n");
    EXPECT_TRUE(f.s.deferredFlashScan);
  }
}

TEST(ScriptList, CountsEarlierRunsOfTheSameScriptOneRecordALine) {
  FakeSession f;
  f.w.AddFile(L"C:\\s.txt", "Debug::");
  EXPECT_EQ(ScriptListCount(f.s, L"C:\\s.txt"), L"0");
  f.w.AddFolder(L"C:\\Corvex");
  EXPECT_EQ(ScriptListRecord(f.s, L"2026-01-02 03'04'05.006"), ScriptListRecordResult::kRecorded);
  FakeSession second;
  second.w.AddFile(L"C:\\s.txt", "Debug::");
  second.w.AddFile(L"C:\\Corvex\\ScriptList", f.w.FileBytes(L"C:\\Corvex\\ScriptList"));
  EXPECT_EQ(ScriptListCount(second.s, L"C:\\s.txt"), L"1");
  EXPECT_EQ(ScriptListRecord(second.s, L"stamp"), ScriptListRecordResult::kRecorded);
  const std::string hash = ToLatin1(f.s.scriptHash);
  EXPECT_EQ(second.w.FileBytes(L"C:\\Corvex\\ScriptList"),
            "2026-01-02 03'04'05.006 - " + hash + " [0]\r\nstamp - " + hash + " [1]\r\n");
  // A list whose records ran together gets the new one on a line of its own.
  second.w.AddFile(L"C:\\Corvex\\ScriptList", "a - x [0]b - x [1]");
  EXPECT_EQ(ScriptListRecord(second.s, L"c"), ScriptListRecordResult::kRecorded);
  EXPECT_EQ(second.w.FileBytes(L"C:\\Corvex\\ScriptList"), "a - x [0]b - x [1]\r\nc - " + hash + " [1]\r\n");
  FakeSession none;
  EXPECT_EQ(ScriptListRecord(none.s, L"x"), ScriptListRecordResult::kNothingHashed);
  second.w.InjectFault(fake::Op::kWriteFile, L"ScriptList", 5);
  EXPECT_EQ(ScriptListRecord(second.s, L"x"), ScriptListRecordResult::kWriteFailed);
}

class ZipScript : public ::testing::Test {
 protected:
  void Load(const std::string& sample, const std::wstring& zip = L"C:\\Down\\fix.zip") {
    std::string bytes = ::ReadSample(sample);
    ASSERT_FALSE(bytes.empty()) << sample;
    f.w.AddFile(zip, bytes);
    ok = LoadScript(f.s, {kExe, zip}, script, archive);
  }
  FakeSession f;
  std::wstring script, archive;
  bool ok = false;
  const std::wstring arc = L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\Archive";
};

TEST_F(ZipScript, CorruptZipIsReportedAndWaitsForAKey) {
  f.s.hold = true;
  f.w.AddFile(L"C:\\Down\\fix.zip", "PK\x03\x04 this is not a zip at all");
  ok = LoadScript(f.s, {kExe, L"C:\\Down\\fix.zip"}, script, archive);
  EXPECT_FALSE(ok);
  EXPECT_EQ(archive, L"");
  EXPECT_EQ(f.w.keysRead, 1);
  EXPECT_NE(f.w.ConsoleText().find(L"ERROR: Zip file is corrupt or unreadable."), std::wstring::npos)
      << "held output is released for the message";
  EXPECT_TRUE(StartsWith(f.s.log, L"Using .zip script file at C:\\Down\\fix.zip [0]\r\nFailed to extract zip archive. "));
  EXPECT_TRUE(EndsWith(f.s.log, L".\r\n\r\n\r\n\r\n\r\n"));
}

TEST(ZipScripts, ArchiveWithCorvexTxtRunsItFromTheArchiveFolder) {
  const std::wstring arc = L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\Archive";
  for (auto sample : {"scripts/with_script.zip", "scripts/cli_script.zip"}) {
    FakeSession f;
    f.w.AddFile(L"C:\\Down\\fix.zip", ::ReadSample(sample));
    std::wstring script, archive;
    ASSERT_TRUE(LoadScript(f.s, {kExe, L"C:\\Down\\fix.zip"}, script, archive)) << sample;
    EXPECT_TRUE(StartsWith(script, L"Debug::\r\n")) << sample;
    EXPECT_EQ(archive, arc);
    EXPECT_EQ(f.s.scriptPath, arc + L"\\Corvex.txt");
    EXPECT_EQ(f.s.log, L"Using .zip script file at C:\\Down\\fix.zip [0]\r\n\r\n\r\n\r\n\r\n");
    EXPECT_TRUE(f.w.IsFolder(arc + L"\\files")) << sample;
  }
}

TEST_F(ZipScript, ArchiveWithoutCorvexTxtRunsFilePlacement) {
  Load("scripts/other_text_name.zip");
  ASSERT_TRUE(ok);
  EXPECT_EQ(script, L"AutoAnalysis::\r\nFilePlacementMode");
  EXPECT_EQ(f.s.scriptPath, L"");
  EXPECT_TRUE(f.s.deferredFlashScan);
  EXPECT_TRUE(f.w.Exists(arc + L"\\fix.txt")) << "the text file is only a placed file";
  EXPECT_EQ(f.s.log, L"Using .zip script file at C:\\Down\\fix.zip [0]\r\nNot using an additional text script "
                     L"file.\r\n\r\n\r\n\r\n\r\n");
}

TEST(ZipScripts, ArchivesThatPlaceNoFileAreRefused) {
  for (auto sample : {"zips/py_folder_only.zip", "zips/py_empty.zip"}) {
    FakeSession g;
    g.w.AddFile(L"C:\\Down\\fix.zip", ::ReadSample(sample));
    std::wstring sc, ar;
    EXPECT_FALSE(LoadScript(g.s, {kExe, L"C:\\Down\\fix.zip"}, sc, ar)) << sample;
    EXPECT_NE(g.s.log.find(L"Failed to extract zip archive. Failed to extract any files.\r\n"), std::wstring::npos)
        << sample;
  }
}

TEST_F(ZipScript, ArchiveFolderThatCannotBeMadeIsNamedWithoutPrefix) {
  f.w.InjectFault(fake::Op::kCreateFolder, L"Tallwen\\Archive", 5, 10);
  Load("scripts/with_script.zip");
  EXPECT_FALSE(ok);
  EXPECT_NE(f.s.log.find(L"Failed to extract zip archive. Failed to create folder " + arc +
                         L" with error code ERROR_ACCESS_DENIED.\r\n"),
            std::wstring::npos)
      << f.s.log;
}

}  // namespace
}  // namespace corvex
