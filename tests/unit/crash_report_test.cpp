#include "online/crash_report.h"

#include <gtest/gtest.h>

#include "app/entry.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/fake/fake_crash.h"
#include "platform/fake/fake_http.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::kDesktopLog;
using testing::kExe;

using fake::ProcessEnded;
using testing::FakeSession;

const std::wstring kDumps = L"C:\\Corvex\\CrashDumps";
const std::wstring kReport = L"C:\\Corvex\\CrashDumps\\CorvexCrashReport";
std::wstring NumberedDump(int n) { return kDumps + L"\\CorvexCrashDump" + Decimal(n) + L".dmp"; }

// A crash handled by the report code alone, with the program's end replaced
// by records of what was called.
struct Crash {
  FakeSession f;
  std::vector<std::wstring> calls;
  std::wstring shownBody;
  Crash() {
    CrashEnding ending;
    ending.appendFooter = [this](Session& s) {
      calls.push_back(L"footer");
      s.log += L"<footer>";
    };
    ending.showPaged = [this](Session& s, const std::wstring&, const std::wstring& body) {
      calls.push_back(L"screen");
      shownBody = body;
      return s.os.console.ReadKey();
    };
    ending.finalLogfiles = [this](Session&) {
      calls.push_back(L"logfiles");
      return true;
    };
    InstallCrashHandlers(f.s, ending);
  }
  void Fire(uint32_t thread = 1) {
    try {
      f.w.crash().Fire(thread);
      ADD_FAILURE() << "the process went on after its crash";
    } catch (const ProcessEnded& ended) {
      EXPECT_EQ(ended.exitCode, 1);
    }
  }
};

std::string Dump(uint32_t time) {
  std::string h = "MDMP" + std::string(16, '\0');
  for (int i = 0; i < 4; ++i) h += static_cast<char>((time >> (8 * i)) & 0xFF);
  return h + std::string(8, '\0');
}

TEST(CrashReport, WholeRunCrashWritesDumpFooterAndLogfilesAndExitsWithOne) {
  FakeSession f;
  f.w.AddFile(L"C:\\fix.txt", "SFC::\r\n");
  f.w.OnProcess(L"sfc.exe", [&](const platform::ProcessRequest&) -> platform::ProcessOutcome {
    f.w.crash().Fire();
    return {};
  });
  EXPECT_THROW(RunProgram(f.s, {kExe, L"C:\\fix.txt"}), ProcessEnded);
  EXPECT_EQ(f.w.FileBytes(kReport + L"\\CorvexScript.txt"), "SFC::\r\n");
  const std::wstring log = f.Utf16File(kDesktopLog);
  EXPECT_TRUE(EndsWith(log, L"unhandled exception.\r\nCurrently storing 0 datablocks.\r\nFinish time: "
                            L"2026-12-06 09:30:15.250\r\nScript hash: " + f.s.scriptHash +
                            L"\r\n----------------------EOF-----------------------"));
  EXPECT_TRUE(
      testing::Holds(log,
                     L"Crash report: CorvexCrashDump.dmp (32 bytes), CorvexScript.txt (7 bytes); 39 bytes in all.\r\n"
                     L"Corvex version"));
  EXPECT_TRUE(f.w.http().requests.empty()) << "end of input answers no";
  EXPECT_TRUE(f.s.reboot.saved);
}

TEST(CrashReport, DumpNameIsTheSmallestFreeNumberElseTheCurrentFolder) {
  struct Case {
    const char* what;
    int present;              // CorvexCrashDump0.dmp ... present-1 already there
    bool numberedWriteFails;  // creating the chosen file fails
    std::wstring expected;
  };
  const std::wstring here = L"C:\\Users\\Tester\\Downloads\\CorvexCrashDump.dmp";
  // An empty folder: e2e crash_writes_a_minidump_the_crash_footer_and_exits_with_one.
  for (const Case& c : {Case{"two there", 2, false, NumberedDump(2)},
                        Case{"0 to 999 there", 1000, false, here},
                        Case{"numbered file fails", 0, true, here}}) {
    Crash crash;
    for (int n = 0; n < c.present; ++n) crash.f.w.AddFile(NumberedDump(n), "x");
    if (c.numberedWriteFails) crash.f.w.InjectFault(fake::Op::kWriteDump, L"CrashDumps", 5);
    crash.Fire();
    ASSERT_EQ(crash.f.w.crash().dumps.size(), 1u) << c.what;
    EXPECT_EQ(StripLongPathPrefix(crash.f.w.crash().dumps[0]), c.expected) << c.what;
    EXPECT_EQ(crash.f.w.FileBytes(c.expected).substr(0, 4), "MDMP") << c.what;
    EXPECT_EQ(crash.f.w.FileBytes(kReport + L"\\CorvexCrashDump.dmp"), crash.f.w.FileBytes(c.expected)) << c.what;
  }
}

TEST(CrashReport, KeepsTheNewestDumpsAndDeletesOnlyItsOwnFiles) {
  Crash crash;
  auto& w = crash.f.w;
  // Written in the order 2, 0, 3, 1: 3 and 1 are the newest that were there.
  uint32_t time = 0;
  for (int n : {2, 0, 3, 1}) w.AddFile(NumberedDump(n), Dump(time += 100));
  const std::vector<std::wstring> strangers = {kDumps + L"\\CorvexCrashDump01.dmp", kDumps + L"\\CorvexCrashDump5x.dmp",
                                               kDumps + L"\\notes.txt", kReport + L"\\keep.txt",
                                               kReport + L"\\sub\\CorvexScript.txt"};
  for (const auto& path : strangers) w.AddFile(path, "theirs");
  w.AddFolder(NumberedDump(6));
  w.AddFile(kReport + L"\\CorvexScript.zip", "an older run's script");
  w.AddFile(kReport + L"\\CorvexCrashReport.zip", "an older run's zip");
  crash.Fire();  // no script: the session never dispatched
  for (int n : {4, 1, 3}) EXPECT_TRUE(w.Exists(NumberedDump(n))) << n;
  for (int n : {0, 2}) EXPECT_FALSE(w.Exists(NumberedDump(n))) << n;
  EXPECT_TRUE(w.IsFolder(NumberedDump(6)));
  for (const auto& path : strangers) EXPECT_EQ(w.FileBytes(path), "theirs") << path;
  EXPECT_FALSE(w.Exists(kReport + L"\\CorvexScript.zip")) << "a report without a script carries none";
  EXPECT_FALSE(w.Exists(kReport + L"\\CorvexCrashReport.zip"));
  EXPECT_TRUE(testing::Holds(crash.shownBody, L"logs: CorvexCrashDump.dmp (32 bytes), 32 bytes in all."));
}

TEST(CrashReport, BackspaceThenNoSendsNothingAndTheSequenceHolds) {
  Crash crash;
  crash.f.w.FeedKeys(L"y\bn\r");
  crash.Fire();
  EXPECT_TRUE(crash.f.w.http().requests.empty());
  EXPECT_EQ(crash.calls, (std::vector<std::wstring>{L"footer", L"screen", L"logfiles"}));
  EXPECT_EQ(crash.f.s.log, L"Crash report: CorvexCrashDump.dmp (32 bytes); 32 bytes in all.\r\n<footer>");
}

TEST(CrashReport, YesUploadsTheZipPrivatelyAsACrashSubmissionElseTheDumpAlone) {
  for (bool zipFails : {false, true}) {
    Crash crash;
    auto& w = crash.f.w;
    w.http().handler = [](const fake::FakeHttpRequest& r) {
      if (r.url.find(L"do=prepare") != std::wstring::npos) return platform::HttpReply{200, "4711"};
      return platform::HttpReply{200, "OK"};
    };
    // Zipping writes the zip through the file system; a failed first write
    // there leaves no usable zip.
    if (zipFails) w.InjectFault(fake::Op::kOpenFile, L"CorvexCrashReport.zip", 5, -1);
    crash.f.s.reboot = {true, false, L"", L"C:\\s.zip"};
    w.AddFile(L"C:\\s.zip", "PK\x05\x06" + std::string(18, '\0'));
    w.FeedKeys(L"y\r");
    crash.Fire();
    std::wstring requests;
    std::string body;
    for (const auto& r : w.http().requests) {
      requests += r.method + L" " + r.url + L"\n";
      body += r.body;
    }
    EXPECT_TRUE(testing::Holds(requests, L"?do=prepare&iscrashdump=1\n"));
    EXPECT_TRUE(testing::Holds(requests, L"?do=finalize&id=4711&private=1&ext=" +
                                             std::wstring(zipFails ? L"dmp" : L"zip")));
    EXPECT_TRUE(testing::Holds(requests, L"id=4711&part=-1\n"));
    const std::string sent = zipFails ? "filename=\"CorvexCrashDump.dmp\"" : "filename=\"CorvexCrashReport.zip\"";
    EXPECT_NE(body.find(sent), std::string::npos) << zipFails;
    EXPECT_EQ(body.find("CorvexScript.zip") != std::string::npos, !zipFails) << "the script is in the zip";
    EXPECT_TRUE(EndsWith(crash.f.s.log, L"<footer>")) << "nothing after the footer";
  }
}

TEST(CrashReport, WithoutTheDumpWriterFooterQuestionAndLogfilesStillHappen) {
  Crash crash;
  crash.f.w.crash().dumpWriter = false;
  crash.Fire();
  EXPECT_FALSE(crash.f.w.Exists(kReport));
  EXPECT_EQ(crash.calls, (std::vector<std::wstring>{L"footer", L"screen", L"logfiles"}));
  EXPECT_EQ(crash.shownBody.find(L"dump"), std::wstring::npos) << "nothing to send, nothing named";
}

TEST(CrashReport, OnceOnlyGuard) {
  Crash crash;
  auto& fake = crash.f.w.crash();
  // A fault inside the handling, on the thread handling it: the process ends
  // at once, nothing after it runs and the handling does not start again.
  // A fault on another thread meanwhile waits for that end.
  CrashEnding ending;
  ending.appendFooter = [&](Session&) {
    crash.calls.push_back(L"footer");
    fake.Fire(2);
    crash.calls.push_back(L"after the other thread");
    fake.Fire(1);
    crash.calls.push_back(L"after the second fault");
  };
  InstallCrashHandlers(crash.f.s, ending);
  crash.Fire(1);
  EXPECT_EQ(fake.callbackRuns, 1);
  EXPECT_EQ(fake.dumps.size(), 1u);
  EXPECT_EQ(fake.waiting, (std::vector<uint32_t>{2}));
  EXPECT_EQ(crash.calls, (std::vector<std::wstring>{L"footer", L"after the other thread"}));
}

}  // namespace
}  // namespace corvex
