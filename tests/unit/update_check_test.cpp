#include "online/update_check.h"

#include <gtest/gtest.h>

#include <functional>

#include "online/servers.h"
#include "platform/fake/fake_http.h"
#include "test_support.h"

namespace corvex {
namespace {

using online::UpdateOutcome;
using testing::FakeSession;

const std::wstring kProgram = L"C:\\Tools\\Corvex.exe";
const std::wstring kTemp = L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\Temp";
const std::wstring kVersionUrl = L"https://updates.tallwen.net/Tallwen/apps/Corvex_GetLatestVersion.php";
const std::wstring kExeUrl = L"https://updates.tallwen.net/Tallwen/apps/Corvex.exe";
const std::wstring kHashUrl = L"https://updates.tallwen.net/Tallwen/apps/Corvex_GetFileHash.php";
const std::string kNewExe = "MZ new program body 00000000";
// sha256sum of kNewExe, worked out apart from the code under test.
const char kNewExeHash[] = "231e555611168f82d4ffe75bed93065304403a5141d8f428c0837fff509cc75b";

struct UpdateFixture : FakeSession {
  UpdateFixture(const std::wstring& current, const std::string& answer, uint32_t status = 200) {
    s.programPath = kProgram;
    s.programVersion = current;
    s.versionKnown = !current.empty();
    s.mirror = true;
    w.AddFile(kProgram, "MZ old program 00000000");
    w.http().Serve(kVersionUrl, answer, status);
    w.http().Serve(kExeUrl, kNewExe);
    w.http().Serve(kHashUrl, std::string(kNewExeHash) + "\r\n");
    w.FeedKeys(L"k");
    w.OnProcess(L"Corvex.exe", [](const platform::ProcessRequest&) { return platform::ProcessOutcome{}; });
    w.OnProcess(L"CorvexUpdate.exe", [](const platform::ProcessRequest&) { return platform::ProcessOutcome{}; });
  }
  UpdateOutcome Check(const std::vector<std::wstring>& extra = {L"C:\\fix.txt"}) {
    std::vector<std::wstring> args{kProgram};
    args.insert(args.end(), extra.begin(), extra.end());
    return online::CheckForUpdates(s, args);
  }
};

// Answers that let the run go on; a failed check waits for a key.
TEST(UpdateCheck, AnswersThatContinue) {
  struct Case {
    std::string answer;
    uint32_t status;
    bool failed;
  } cases[] = {
      {"2.5.0.0\r\n", 200, false},
      // Field by field: 2.4.10.0 is older than 2.5.0.0 (as one number it
      // would be 24100 against 2500).
      {"2.4.10.0", 200, false},
      {"", 200, true},
      {"<html>Not Found</html>", 404, true},
      {"<html><body>Internal error</body></html>", 200, true},
  };
  for (const Case& c : cases) {
    UpdateFixture f(L"2.5.0.0", c.answer, c.status);
    EXPECT_EQ(f.Check(), UpdateOutcome::kContinue) << c.answer;
    EXPECT_EQ(f.w.keysRead, c.failed ? 1 : 0) << c.answer;
    EXPECT_TRUE(f.w.processesRun.empty());
    EXPECT_EQ(f.w.http().cacheRemovals, std::vector<std::wstring>{kVersionUrl}) << "fresh answer";
  }
}

TEST(UpdateCheck, BlockedEndsTheRunWhateverTheVersion) {
  UpdateFixture f(L"9.9.9.9", "Blocked");
  f.s.mirror = false;
  f.s.hold = true;  // a start without arguments: the message must still show
  EXPECT_EQ(f.Check({}), UpdateOutcome::kExit);
  // The check's own line is rubbed out before the message.
  EXPECT_TRUE(StartsWith(f.w.ConsoleText(), L"Checking for updates . . . " + std::wstring(27, L'\b') +
                                                L"A dangerous bug has been detected in Corvex"));
  EXPECT_EQ(f.w.keysRead, 1);
}

TEST(UpdateCheck, NewerVersionIsVerifiedAndHandedOver) {
  UpdateFixture f(L"", "2.4.10.0");  // no version of its own: anything is newer
  bool heldAtStart = false;
  f.w.OnProcess(L"Corvex.exe", [&](const platform::ProcessRequest&) {
    // Nobody may swap the verified file before it runs.
    heldAtStart = !f.w.platform().fs.Open(kTemp + L"\\Corvex.exe", platform::access::kWrite,
                                          platform::share::kAll, platform::Disposition::kOpenExisting);
    return platform::ProcessOutcome{};
  });
  EXPECT_EQ(f.Check({L"C:\\fix.txt", L"x"}), UpdateOutcome::kExit);
  ASSERT_EQ(f.w.processesRun.size(), 1u);
  EXPECT_EQ(f.w.processesRun[0].program, kTemp + L"\\Corvex.exe");
  EXPECT_EQ(f.w.processesRun[0].commandLine, L" C:\\Tools\\Corvex.exe?C:\\fix.txt x");
  EXPECT_TRUE(heldAtStart);
}

TEST(UpdateCheck, CollectionIdTravelsIntoTheUpdate) {
  UpdateFixture f(L"1.0.0.0", "1.0.0.1");
  f.w.AddFile(kProgram, "MZ old program 00004711");
  EXPECT_EQ(f.Check(), UpdateOutcome::kExit);
  ASSERT_EQ(f.w.processesRun.size(), 1u);
  EXPECT_EQ(f.w.processesRun[0].program, kTemp + L"\\CorvexUpdate.exe");
  EXPECT_EQ(f.w.FileBytes(kTemp + L"\\CorvexUpdate.exe"), "MZ new program body 00004711");
}

TEST(UpdateCheck, FailedUpdatesEndTheRunWithoutStartingAnything) {
  struct Case {
    const char* name;
    uint32_t exeStatus;
    std::string hash;
    const wchar_t* sentence;
  } cases[] = {
      {"missing program", 404, "", L"Failed to download update."},
      {"wrong hash", 200, std::string(64, 'a'), L"Failed to validate downloaded update."},
      {"empty hash", 200, "", L"Failed to validate downloaded update."},
  };
  for (const Case& c : cases) {
    UpdateFixture f(L"1.0.0.0", "1.0.1.0");
    f.w.http().Serve(kExeUrl, kNewExe, c.exeStatus);
    if (c.exeStatus == 200) f.w.http().Serve(kHashUrl, c.hash);
    EXPECT_EQ(f.Check(), UpdateOutcome::kExit) << c.name;
    EXPECT_TRUE(testing::Holds(f.w.ConsoleText(), L". . . \n\n" + std::wstring(c.sentence))) << c.name;
    EXPECT_TRUE(f.w.processesRun.empty()) << c.name;
  }
}

// The second and third process of a hand-over.
struct HandOverFixture : FakeSession {
  HandOverFixture() {
    s.programPath = kTemp + L"\\_CorvexID.exe";
    s.mirror = true;
    w.AddFile(s.programPath, "MZ new 00000042");
    w.AddFile(L"C:\\Tools\\Old.exe", "MZ old 00000000");
    w.OnProcess(L"Old.exe", [](const platform::ProcessRequest&) { return platform::ProcessOutcome{}; });
    w.FeedKeys(L"k");
  }
  UpdateOutcome Run(const std::wstring& args) { return online::CheckForUpdates(s, {L"", args}); }
};

TEST(UpdateCheck, HandOverArguments) {
  struct Case {
    std::wstring args;
    UpdateOutcome outcome;
    const wchar_t* restartedWith;  // null: nothing started
    const wchar_t* program = nullptr;  // this process's file, when not the one in Temp
    std::function<void(HandOverFixture&)> arrange = nullptr;
  } cases[] = {
      {L"?ID2", UpdateOutcome::kFinishAfterIdRestart, nullptr},
      {L"C:\\Tools\\Old.exe?ID", UpdateOutcome::kExit, L" ?ID2"},
      {L"C:\\Tools\\Old.exe?", UpdateOutcome::kExit, L""},
      // The old program still running for three tries, then free.
      {L"C:\\Tools\\Old.exe?x", UpdateOutcome::kExit, L" x", nullptr,
       [](HandOverFixture& f) { f.w.InjectFault(fake::Op::kCopyFile, L"Old.exe", 32, 3); }},
      // Targets that are no program file of ours to replace.
      {L"C:\\Tools\\Missing.exe?x", UpdateOutcome::kExit, nullptr},
      {L"C:\\Tools\\Old.txt?x", UpdateOutcome::kExit, nullptr},
      {L"Old.exe?x", UpdateOutcome::kExit, nullptr},
      {kTemp + L"\\_CorvexID.exe?x", UpdateOutcome::kExit, nullptr},
      // A hand-over only ever comes from the Temp folder.
      {L"C:\\Tools\\Old.exe?x", UpdateOutcome::kExit, nullptr, L"C:\\Downloads\\Corvex.exe"},
  };
  for (const Case& c : cases) {
    HandOverFixture f;
    f.w.AddFile(L"C:\\Tools\\Old.txt", "text");
    if (c.program) {
      f.s.programPath = c.program;
      f.w.AddFile(c.program, "MZ x 00000000");
    }
    if (c.arrange) c.arrange(f);
    EXPECT_EQ(f.Run(c.args), c.outcome) << c.args;
    if (!c.restartedWith) {
      EXPECT_TRUE(f.w.processesRun.empty()) << c.args;
      EXPECT_EQ(f.w.FileBytes(L"C:\\Tools\\Old.exe"), "MZ old 00000000") << c.args;
      continue;
    }
    ASSERT_EQ(f.w.processesRun.size(), 1u) << c.args;
    EXPECT_EQ(f.w.processesRun[0].program, L"C:\\Tools\\Old.exe");
    EXPECT_EQ(f.w.processesRun[0].commandLine, c.restartedWith) << c.args;
    EXPECT_EQ(f.w.FileBytes(L"C:\\Tools\\Old.exe"), "MZ new 00000042") << c.args;
  }
}

// Cannot be replaced: the old version is not restarted into the same update.
TEST(UpdateCheck, HandOverThatCannotReplaceTheOldProgramNeverLoops) {
  HandOverFixture f;
  f.w.InjectFault(fake::Op::kCopyFile, L"Old.exe", 5, 100);
  EXPECT_EQ(f.Run(L"C:\\Tools\\Old.exe?x"), UpdateOutcome::kExit);
  EXPECT_TRUE(f.w.processesRun.empty());
  EXPECT_TRUE(testing::Holds(f.w.ConsoleText(), L"Failed to replace C:\\Tools\\Old.exe"));
  EXPECT_EQ(f.w.keysRead, 1);
}

// The ID restart's second process has no console: each failure is noted in
// the saved session log, and only a file checked while held is started. The
// old file may still finish the session ("?ID2" skips the check, so it never
// loops) when it is this program but for its ID.
TEST(UpdateCheck, IdHandOverStartsOnlyAFileCheckedWhileHeld) {
  const std::wstring old = L"C:\\Tools\\Old.exe";
  const wchar_t* notCopied =
      L"Old.exe was not started: it could not be held and found to be this program. Start Corvex again to finish "
      L"the session.";
  struct Case {
    const char* what;
    std::function<void(HandOverFixture&)> arrange;
    bool started;
    std::wstring noted;
  } cases[] = {
      {"not replaced, the old file is this program with its old ID",
       [](HandOverFixture& f) {
         f.w.AddFile(L"C:\\Tools\\Old.exe", "MZ new 00000000");
         f.w.InjectFault(fake::Op::kCopyFile, L"Old.exe", 5, 100);
       },
       true, L"with error code ERROR_ACCESS_DENIED; the next collection asks for an ID again."},
      {"not replaced, the old file is another program",
       [](HandOverFixture& f) { f.w.InjectFault(fake::Op::kCopyFile, L"Old.exe", 5, 100); }, false, notCopied},
      {"replaced, then swapped before it is held",
       [](HandOverFixture& f) {
         f.w.accessCheck = [&f, check = f.w.accessCheck](const std::wstring& path, uint32_t desired) {
           if (desired == 1 && EndsWith(path, L"Old.exe")) f.w.AddFile(path, "MZ evil 00000042");
           return check ? check(path, desired) : 0;
         };
       },
       false, notCopied},
      {"cannot be held", [](HandOverFixture& f) { f.w.InjectFault(fake::Op::kOpenFile, L"Old.exe", 32); }, false,
       notCopied},
      {"cannot be started", [](HandOverFixture& f) { f.w.InjectFault(fake::Op::kRunProcess, L"Old.exe", 193); },
       true, L"with error code 0xC1. Start Corvex again to finish the session."},
  };
  for (const Case& c : cases) {
    HandOverFixture f;
    const std::wstring saved = kTemp.substr(0, kTemp.size() - 5) + L"\\Reboot_Neat_Log";
    f.w.AddFile(saved, testing::Utf16Bom(L"the log so far\r\n"));
    c.arrange(f);
    EXPECT_EQ(f.Run(old + L"?ID"), UpdateOutcome::kExit) << c.what;
    EXPECT_EQ(f.w.processesRun.size(), c.started ? 1u : 0u) << c.what;
    for (const auto& started : f.w.processesRun) EXPECT_EQ(started.commandLine, L" ?ID2") << c.what;
    const std::wstring log = f.Utf16File(saved);
    EXPECT_TRUE(StartsWith(log, L"the log so far\r\n") && EndsWith(log, c.noted + L"\r\n")) << c.what << "\n" << log;
    EXPECT_EQ(f.w.keysRead, 0) << c.what << ": nobody could answer";
  }
}

}  // namespace
}  // namespace corvex
