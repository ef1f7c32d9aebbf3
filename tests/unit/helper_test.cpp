// corvex-helper against the program itself: `check` must see what a run
// sees, `cbs` what the analysis reads, `log` what the run wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "app/entry.h"
#include "helper/cbs_table.h"
#include "helper/helper_world.h"
#include "helper/script_check.h"
#include "helper/session_log_reader.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::kDesktopLog;

const std::string kSamples = CORVEX_SAMPLES_DIR;
// The real Windows logs the project keeps beside its own fixtures.
const std::string kShared = kSamples + "/windows";

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(HelperCheck, SeesTheSectionsAndBlockedLinesOfARealRun) {
  const std::string scripts[] = {
      kSamples + "/../../demo/Corvex-demo.txt", kSamples + "/scripts/with_script.zip",
      kSamples + "/scripts/cli_script.zip",     kSamples + "/scripts/helper_rules.txt",
      kSamples + "/scripts/helper_rules.zip",
  };
  for (const std::string& path : scripts) {
    SCOPED_TRACE(path);
    const helper::ScriptCheck check = helper::CheckScript(path);
    testing::FakeSession f;
    const std::wstring script =
        std::wstring(helper::kDownloads) + L"\\" + FromUtf8(std::filesystem::path(path).filename().string());
    f.w.AddFile(script, Bytes(path));
    RunProgram(f.s, {std::wstring(helper::kDownloads) + L"\\Corvex.exe", script});
    const helper::SessionLog run = helper::ReadSessionLog(L"Corvex.txt", f.w.FileBytes(kDesktopLog));
    ASSERT_TRUE(run.finished);
    ASSERT_FALSE(check.sections.empty());

    std::vector<std::wstring> ran, checked, blocked;
    for (const auto& d : run.directives) ran.push_back(d.name);
    for (const auto& sec : check.sections) checked.push_back(sec.directive.empty() ? sec.header : sec.directive);
    EXPECT_EQ(checked, ran);
    for (const std::wstring& line : Split(f.Utf16File(kDesktopLog), L"\r\n"))
      if (StartsWith(line, L"Line blocked")) blocked.push_back(line);
    EXPECT_EQ(check.blocked, blocked);
  }
}

TEST(HelperCheck, NamesLineAndColumnOfEveryRuleBroken) {
  struct Want {
    uint64_t line;
    size_t column;
    const wchar_t* start;
  };
  const Want txt[] = {
      {5, 9, L"Line blocked (invalid characters)"},
      {6, 1, L"Line blocked (invalid spacing)"},
      {7, 1, L"Line blocked (relative path components in destination)"},
      {8, 1, L"Line blocked (invalid colon position)"},
      {8, 1, L"{ARCHIVE} in a script that is not run from a zip"},
      {11, 3, L"Did not add datablock for C:\\Windows\\System32\\drivers\\etc\\no-security."},
      {17, 1, L"registry-file text is cut here"},
  };
  const Want zip[] = {{3, 1, L"the zip holds no files\\missing.dll"}};
  const std::pair<std::string, std::vector<Want>> cases[] = {
      {"/scripts/helper_rules.txt", {std::begin(txt), std::end(txt)}},
      {"/scripts/helper_rules.zip", {std::begin(zip), std::end(zip)}},
      {"/scripts/with_script.zip", {}},
  };
  for (const auto& [script, wanted] : cases) {
    SCOPED_TRACE(script);
    const helper::ScriptCheck check = helper::CheckScript(kSamples + script);
    ASSERT_EQ(check.findings.size(), wanted.size()) << ToUtf8(helper::CheckText(check));
    for (size_t i = 0; i < wanted.size(); ++i) {
      const helper::Finding& f = check.findings[i];
      EXPECT_EQ(f.line, wanted[i].line) << ToUtf8(f.message);
      EXPECT_EQ(f.column, wanted[i].column) << ToUtf8(f.message);
      EXPECT_TRUE(f.error);
      EXPECT_TRUE(StartsWith(f.message, wanted[i].start)) << ToUtf8(f.message);
    }
  }
  // What the loader refuses is an error about the whole file.
  const helper::ScriptCheck evil = helper::CheckScript(kSamples + "/zips/evil_dotdot.zip");
  ASSERT_EQ(evil.findings.size(), 1u);
  EXPECT_TRUE(StartsWith(evil.findings[0].message, L"Failed to extract zip archive.")) << ToUtf8(evil.findings[0].message);
}

std::filesystem::path TempFile(const std::string& name, const std::string& bytes) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(HelperCbs, TablesTheDamagedFilesOfTheSampleLogsAndDraftsTheirLines) {
  std::vector<std::filesystem::path> logs;
  for (const char* name : {"cbs-win7-1.log", "cbs-win7-2.log", "cbs-win8-2.log", "cbs-win10-2.log", "cbs-win11-2.log"})
    logs.push_back(kShared + "/" + name);
  const helper::LogTable t = helper::ReadLogs(logs);
  EXPECT_TRUE(t.findings.empty()) << ToUtf8(helper::LogTableText(t));
  auto rows = [&](const std::wstring& file) {
    std::vector<helper::DamagedFile> found;
    for (const auto& f : t.files)
      if (f.file == file) found.push_back(f);
    return found;
  };
  // Both forms of the line; the same file reported again is listed once.
  const auto edge = rows(L"edgehtml.dll"), cnbj = rows(L"Amd64\\CNBJ2530.DPB");
  ASSERT_EQ(edge.size(), 1u);
  EXPECT_EQ(std::tie(edge[0].component, edge[0].version, edge[0].architecture, edge[0].reason, edge[0].line),
            std::make_tuple(L"Microsoft-Windows-IE-HTMLRendering", L"11.0.19041.2728", L"amd64", L"hash mismatch", 1u));
  EXPECT_TRUE(EndsWith(edge[0].log, L"cbs-win10-2.log"));
  ASSERT_EQ(cnbj.size(), 1u);
  EXPECT_EQ(std::tie(cnbj[0].component, cnbj[0].version, cnbj[0].line),
            std::make_tuple(L"prncacla.inf", L"6.2.9200.16430", 34u));
  ASSERT_EQ(rows(L"themecpl.dll").size(), 1u);
  EXPECT_EQ(rows(L"themecpl.dll")[0].architecture, L"wow64");

  // The draft names the store file; its unknown hash keeps PowerCopy:: from
  // running it until the helper has filled it in.
  const std::wstring draft = helper::DraftScript(t);
  EXPECT_TRUE(testing::Holds(draft,
                             L"\"{ARCHIVE}\\Microsoft-Windows-IE-HTMLRendering_11.0.19041.2728_amd64\\edgehtml.dll\" "
                             L"\"%SystemRoot%\\WinSxS\\amd64_microsoft-windows-ie-htmlrendering_31bf3856ad364e35_"
                             L"11.0.19041.2728_none_<hash>\\edgehtml.dll\""));
  const helper::ScriptCheck check = helper::CheckScript(TempFile("corvex-helper-draft.txt", ToUtf8(draft)));
  ASSERT_EQ(check.blocked.size(), t.files.size());
  for (const std::wstring& b : check.blocked) EXPECT_TRUE(StartsWith(b, L"Line blocked (invalid characters)")) << ToUtf8(b);
}

TEST(HelperLog, ReadsWhatRanFailedAndIsPending) {
  const std::wstring header =
      L"Corvex version 1.0.0.0 by Tallwen.\r\nStart time: 2026-12-06 09:30:15.250\r\n"
      L"Microsoft Windows 10 Build 19045 - amd64\r\nUsing .txt script file at C:\\fix.txt [0]\r\n\r\n";
  const std::wstring footer =
      L"Corvex version 1.0.0.0 by Tallwen has completed.\r\nCurrently storing 3 datablocks.\r\n"
      L"Finish time: 2026-12-06 09:30:15.250\r\n----------------------EOF-----------------------";
  struct Case {
    const char* what;
    std::string bytes;
    size_t directives;
    bool reboot;
    int status;
    std::vector<std::pair<uint64_t, bool>> findings;  // line, error
  };
  const Case cases[] = {
      {"a failed directive",
       testing::Utf16Bom(header + L"PowerCopy::\r\nLine blocked (invalid spacing): a b c.\r\nCopied nothing\r\n"
                                  L"PowerCopy:: directive failed to complete successfully.\r\n\r\nBogus:: is not a "
                                  L"recognised directive. No lines were entered under this directive.\r\n"
                                  L"Failed to process all directives successfully.\r\n" + footer),
       2, false, 1, {}},
      {"a restart pending",
       testing::Utf16Bom(header + L"Reboot:: directive completed successfully.\r\n"
                                  L"Successfully processed all directives prior to system reboot.\r\n"),
       1, true, 0, {}},
      {"cut short inside a section",
       testing::Utf16Bom(header + L"PowerCopy::\r\nSuccessfully copied file"), 0, false, 1, {{6, true}, {7, true}}},
      {"pasted as UTF-8",
       ToUtf8(header + L"Debug:: directive completed successfully.\r\nSuccessfully processed all directives.\r\n" +
              footer),
       1, false, 0, {{1, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const helper::SessionLog log = helper::ReadSessionLog(L"Corvex.txt", c.bytes);
    EXPECT_EQ(log.directives.size(), c.directives);
    EXPECT_EQ(log.rebootPending, c.reboot);
    EXPECT_EQ(helper::SessionLogStatus(log), c.status);
    ASSERT_EQ(log.findings.size(), c.findings.size()) << ToUtf8(helper::SessionLogText(log));
    for (size_t i = 0; i < c.findings.size(); ++i) {
      EXPECT_EQ(log.findings[i].line, c.findings[i].first);
      EXPECT_EQ(log.findings[i].error, c.findings[i].second);
    }
  }
  const helper::SessionLog failed = helper::ReadSessionLog(L"Corvex.txt", cases[0].bytes);
  ASSERT_EQ(failed.directives.size(), 2u);
  EXPECT_EQ(std::tie(failed.directives[0].outcome, failed.directives[0].line, failed.directives[0].reasons),
            std::make_tuple(helper::Outcome::kFailed, 6u,
                            std::vector<std::wstring>{L"Line blocked (invalid spacing): a b c."}));
  EXPECT_EQ(failed.directives[1].outcome, helper::Outcome::kUnrecognised);
  EXPECT_EQ(failed.datablocks, 3u);
}

}  // namespace
}  // namespace corvex
