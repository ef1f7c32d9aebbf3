#include "script/script_loader.h"

#include <gtest/gtest.h>

#include "sample_files.h"
#include "script/script_list.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::kExe;

using testing::FakeSession;

TEST(LoadScript, TextScriptsAndStartsWithoutOne) {
  const std::wstring end = L"\r\n\r\n\r\n\r\n";
  const std::wstring failed = L"\r\nFailed to read script or malformed script.\r\n";
  const std::wstring analysis = L"AutoAnalysis::\r\nDisplayIntro", none = L"Not using a script file.\r\n" + end;
  struct Case {
    const char* what;
    const wchar_t* file;  // made with `bytes` unless null
    std::string bytes;
    std::vector<std::wstring> args;
    bool ok;
    std::wstring script, log;
  };
  // A name split at its space and a missing file: e2e utf16_script_without_mark_and_debug_trace and
  // unreadable_script_goes_on_with_nothing; no argument: Entry.StartWithoutArgumentsHoldsTheConsole.
  const Case cases[] = {
      {"empty", L"C:\\empty.txt", "", {kExe, L"C:\\empty.txt"}, false, L"",
       L"Using .txt script file at C:\\empty.txt [0]" + failed + end},
      // Only a text with nothing in it fails; blanks are a script with no directive.
      {"blank", L"C:\\blank.txt", " \r\n", {kExe, L"C:\\blank.txt"}, true, L" \r\n",
       L"Using .txt script file at C:\\blank.txt [0]\r\n" + end},
      {"lines ended by CR alone", L"C:\\mac.txt", "Debug::\rNo cbs\r\r\nNo surt", {kExe, L"C:\\mac.txt"}, true,
       L"Debug::\r\nNo cbs\r\n\r\nNo surt", L"Using .txt script file at C:\\mac.txt [0]\r\n" + end},
      {"another extension", nullptr, "", {kExe, L"C:\\x.log"}, true, analysis, none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSession f;
    if (c.file) f.w.AddFile(c.file, c.bytes);
    std::wstring script, archive;
    EXPECT_EQ(LoadScript(f.s, c.args, script, archive), c.ok);
    EXPECT_EQ(script, c.script);
    EXPECT_EQ(archive, L"");
    EXPECT_EQ(f.s.log, c.log);
    EXPECT_EQ(f.s.scriptHash.size(), c.file ? 44u : 0u);
    if (c.file && c.ok) {
      EXPECT_EQ(f.s.scriptPath, c.file);
    }
    EXPECT_EQ(f.s.deferredFlashScan, c.script == analysis);
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

// A zip given as the script, loaded into a fresh session.
struct ZipScript {
  explicit ZipScript(const std::string& sample = "") {
    if (!sample.empty()) Load(::ReadSample(sample));
  }
  void Load(const std::string& bytes) {
    f.w.AddFile(L"C:\\Down\\fix.zip", bytes);
    ok = LoadScript(f.s, {kExe, L"C:\\Down\\fix.zip"}, script, archive);
  }
  FakeSession f;
  std::wstring script, archive;
  bool ok = false;
};
const std::wstring kArchive = L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\Archive";

TEST(ZipScripts, CorruptZipIsReportedAndWaitsForAKey) {
  ZipScript x;
  x.f.s.hold = true;
  x.Load("PK\x03\x04 this is not a zip at all");
  EXPECT_FALSE(x.ok);
  EXPECT_EQ(x.f.w.keysRead, 1);
  EXPECT_TRUE(testing::Holds(x.f.w.ConsoleText(), L"ERROR: Zip file is corrupt or unreadable."))
      << "held output is released for the message";
}

TEST(ZipScripts, ArchiveWithCorvexTxtRunsItFromTheArchiveFolder) {
  for (auto sample : {"scripts/with_script.zip", "scripts/cli_script.zip"}) {
    ZipScript x(sample);
    ASSERT_TRUE(x.ok) << sample;
    EXPECT_TRUE(StartsWith(x.script, L"Debug::\r\n")) << sample;
    EXPECT_EQ(x.archive, kArchive);
    EXPECT_EQ(x.f.s.scriptPath, kArchive + L"\\Corvex.txt");
    EXPECT_TRUE(x.f.w.IsFolder(kArchive + L"\\files")) << sample;
  }
}

TEST(ZipScripts, ArchiveWithoutCorvexTxtRunsFilePlacement) {
  ZipScript x("scripts/other_text_name.zip");
  ASSERT_TRUE(x.ok);
  EXPECT_EQ(x.script, L"AutoAnalysis::\r\nFilePlacementMode");
  EXPECT_EQ(x.f.s.scriptPath, L"");
  EXPECT_TRUE(x.f.s.deferredFlashScan);
  EXPECT_TRUE(x.f.w.Exists(kArchive + L"\\fix.txt")) << "the text file is only a placed file";
}

TEST(ZipScripts, ArchivesThatPlaceNoFileAreRefused) {
  for (auto sample : {"zips/py_folder_only.zip", "zips/py_empty.zip"}) {
    ZipScript x(sample);
    EXPECT_FALSE(x.ok) << sample;
    EXPECT_TRUE(testing::Holds(x.f.s.log, L"Failed to extract zip archive. Failed to extract any files.\r\n"))
        << sample;
  }
}

TEST(ZipScripts, ArchiveFolderThatCannotBeMadeIsNamedWithoutPrefix) {
  ZipScript x;
  x.f.w.InjectFault(fake::Op::kCreateFolder, L"Tallwen\\Archive", 5, 10);
  x.Load(::ReadSample("scripts/with_script.zip"));
  EXPECT_FALSE(x.ok);
  EXPECT_TRUE(testing::Holds(x.f.s.log, L"Failed to extract zip archive. Failed to create folder " + kArchive +
                                            L" with error code ERROR_ACCESS_DENIED.\r\n"));
}

}  // namespace
}  // namespace corvex
