// Collect::, Zip:: and the upload to the collection server, against the
// fake's HTTP, which records every request with its body.
#include <gtest/gtest.h>

#include <functional>

#include "core/working_folders.h"
#include "online/collect.h"
#include "online/servers.h"
#include "online/upload.h"
#include "online/zip_writer.h"
#include "platform/fake/fake_http.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

// The collection server: the back end's replies by query, uploads answered
// with `uploadStatus`.
struct Server {
  std::string verify = "valid";
  std::string prepare = "123";
  std::string finalize = "OK";
  uint32_t uploadStatus = 200;
};

// A session of the program with the ID tail given, talking to the server.
struct Collecting : FakeSession {
  Server server;
  explicit Collecting(const std::string& tail = "00000042") {
    s.programPath = L"C:\\Tools\\Corvex.exe";
    w.AddFile(s.programPath, "MZ program" + tail);
    w.http().handler = [this](const fake::FakeHttpRequest& r) -> platform::HttpReply {
      if (r.method == L"POST") return {server.uploadStatus, "OK"};
      if (r.url.find(L"do=verify") != std::wstring::npos) return {200, server.verify};
      if (r.url.find(L"do=prepare") != std::wstring::npos) return {200, server.prepare};
      if (r.url.find(L"do=finalize") != std::wstring::npos) return {200, server.finalize};
      return {404, "<html>404</html>"};
    };
  }
  std::vector<fake::FakeHttpRequest> Posts() {
    std::vector<fake::FakeHttpRequest> posts;
    for (auto& r : w.http().requests)
      if (r.method == L"POST") posts.push_back(r);
    return posts;
  }
};

TEST(Collect, AllItemsFailingLeaveTheEmptyZipAndSendNothing) {
  Collecting f;
  // No CBS folder, no such file, and the hive's locked-file copy has no
  // directive table to run in.
  EXPECT_EQ(Ran(CollectDirective, f, {L"CBS", L"C:\\nowhere\\x.log", L"COMPONENTS"}, false),
            L"Failed to copy file or folder C:\\Windows\\Logs\\CBS to zip file.\r\n"
            L"Failed to copy file or folder C:\\nowhere\\x.log to zip file.\r\n"
            L"Failed to copy file or folder C:\\Windows\\System32\\config\\COMPONENTS to zip file.\r\n"
            L"Failed to generate a complete zip file. Upload aborted.\r\n");
  EXPECT_EQ(f.w.FileBytes(TempFolder(f.s) + L"\\zipFileForSubmission.zip"), EmptyZipRecord());
  EXPECT_TRUE(f.w.http().requests.empty());
}

// Mend: parts are read and sent 4 MiB at a time, the last one numbered -1,
// each body exactly the multipart form, each status checked.
TEST(Upload, PartsNumberedAndSentByteForByte) {
  struct Case {
    uint64_t size;
    std::vector<std::wstring> parts;
  };
  const uint64_t kMiB4 = 4u << 20;
  for (const Case& c : {Case{kMiB4, {L"-1"}}, Case{kMiB4 + 1, {L"0", L"-1"}}, Case{2 * kMiB4 + 5, {L"0", L"1", L"-1"}},
                        Case{1, {L"-1"}}}) {
    Collecting f;
    std::string data(c.size, 'd');
    for (size_t i = 0; i < data.size(); i += 4093) data[i] = static_cast<char>(i / 4093);
    f.w.AddFile(L"C:\\Data\\report.zip", data);

    EXPECT_EQ(UploadFile(f.s, L"C:\\Data\\report.zip", Submission::kUser, true), upload::kDone);
    const std::vector<fake::FakeHttpRequest> posts = f.Posts();
    ASSERT_EQ(posts.size(), c.parts.size()) << c.size;
    // The form around each part, word for word: e2e collect_upload_recorded_byte_for_byte.
    std::string sent;
    for (size_t i = 0; i < posts.size(); ++i) {
      EXPECT_EQ(posts[i].url, online::CollectionServerUrl(f.s, L"/Tallwen/apps/Corvex_UploadFile.php?id=42&part=" +
                                                                    c.parts[i]));
      const std::string& body = posts[i].body;
      const size_t start = body.find("\r\n\r\n") + 4;
      const size_t end = body.rfind("\r\n-----------------------------7de2ae30212da--\r\n");
      ASSERT_TRUE(start >= 4 && end != std::string::npos && end >= start) << i;
      sent += body.substr(start, end - start);
    }
    EXPECT_EQ(sent, data);
  }
}

TEST(Upload, FailuresGiveTheirCodesAndStopTheUpload) {
  const uint64_t kSize = (4u << 20) + 10;  // two parts
  struct Case {
    const char* what;
    std::function<void(Collecting&)> arrange;
    int code;
    size_t posts;
  };
  const Case cases[] = {
      {"error status on the first part", [](Collecting& f) { f.server.uploadStatus = 500; }, upload::kRejected, 1},
      {"no connection", [](Collecting& f) { f.w.InjectFault(fake::Op::kHttpPost, L"part=0", 12029); },
       upload::kNoConnection, 0},
      {"write fails", [](Collecting& f) { f.w.InjectFault(fake::Op::kHttpWrite, L"part=-1", 12030); },
       upload::kFailed, 1},
      {"finalize says Failed", [](Collecting& f) { f.server.finalize = "Failed\r\n"; }, upload::kFinalizeFailed, 2},
      {"error page for an ID", [](Collecting& f) {
         f.server.verify = "invalid";
         f.server.prepare = "<html>oops</html>";
       },
       upload::kFailed, 0},
  };
  for (const Case& c : cases) {
    Collecting f;
    f.w.FeedKeys(L"ybob\ry");
    c.arrange(f);
    f.w.AddFile(L"C:\\Data\\report.zip", std::string(kSize, 'x'));
    EXPECT_EQ(UploadFile(f.s, L"C:\\Data\\report.zip", Submission::kUser, false), c.code) << c.what;
    EXPECT_EQ(f.Posts().size(), c.posts) << c.what;
    EXPECT_FALSE(f.s.idRestart) << c.what;
  }
}

// Mends: names and addresses percent-encoded; a new ID stamped into a copy
// for the ID restart; what is sent named before the first question.
TEST(Upload, NewIdAfterTheQuestionsIsStampedIntoACopy) {
  Collecting f("00000000");
  f.server.prepare = "4711\n";
  f.w.AddFile(L"C:\\Data\\logs.zip", "not really a zip, but bigger than twenty-two bytes");
  f.w.FeedKeys(L"nyhttps://forum.example/t?id=5&p=1\ry");
  std::wstring report;
  EXPECT_EQ(UploadFile(f.s, L"C:\\Data\\logs.zip", Submission::kUser, false, &report), upload::kDone);
  const auto& requests = f.w.http().requests;
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].url,
            online::CollectionServerUrl(f.s, L"/forums/CorvexCollectionScriptBackend_showthread.php?do=prepare&"
                                             L"quillmere=0&username=&url=https%3A%2F%2Fforum.example%2Ft%3Fid%3D5%26p%3D1"));
  const std::vector<fake::FakeHttpRequest> posts = f.Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].url,
            online::CollectionServerUrl(f.s, L"/Tallwen/apps/Corvex_UploadFile.php?id=4711&part=-1"));
  // The stamped copy: e2e collect_new_id_restart_stamps_the_program.
  EXPECT_EQ(f.w.FileBytes(f.s.programPath), "MZ program00000000");  // replaced only by the ID restart
  const std::wstring console = f.w.ConsoleText();
  const size_t listed = console.find(L"Corvex will send logs.zip (50 bytes) to the collection server.");
  ASSERT_NE(listed, std::wstring::npos);
  EXPECT_LT(listed, console.find(L"Are you currently being advised"));
  EXPECT_TRUE(testing::Holds(report, L"Corvex will send logs.zip (50 bytes)"));

  // Helped nowhere: aborted, nothing asked of the server.
  Collecting g("00000000");
  g.server.prepare = "4711\n";
  g.w.AddFile(L"C:\\Data\\logs.zip", std::string(100, 'z'));
  EXPECT_EQ(UploadFile(g.s, L"C:\\Data\\logs.zip", Submission::kUser, false), upload::kAborted);
  EXPECT_TRUE(g.w.http().requests.empty());  // the input ended: every answer is no
  EXPECT_FALSE(g.s.idRestart);
  EXPECT_EQ(PercentEncode(L"J\xF6rg M&Co"), L"J%C3%B6rg%20M%26Co");
}

// Mend: the store listing is made in-process, whatever the folder names hold.
TEST(Collect, WinsxsListedWithoutAShellAndUploaded) {
  Collecting f;
  f.w.AddFile(L"C:\\Windows\\winsxs\\x86_a&calc\\a.dll", "12345");
  f.w.AddFile(L"C:\\Windows\\servicing\\Packages\\p.mum", "mum");
  const std::wstring report = Ran(CollectDirective, f, {L"winsxs"});
  EXPECT_TRUE(f.w.processesRun.empty());
  const std::wstring listing = f.Utf16File(TempFolder(f.s) + L"\\winsxs.txt");
  EXPECT_TRUE(testing::Holds(listing, L" Directory of C:\\Windows\\winsxs\\x86_a&calc\r\n"));
  EXPECT_TRUE(testing::Holds(listing, L"             5 a.dll\r\n"));
  EXPECT_TRUE(testing::Holds(report, L"  winsxs.txt ("));
  EXPECT_TRUE(testing::Holds(report, L"  servicing.txt ("));
  ASSERT_EQ(f.Posts().size(), 1u);
  EXPECT_TRUE(testing::Holds(f.w.http().requests.back().url, L"private=0&ext=zip"));
}

TEST(Zip, NameCollisionWithinTheDirectiveAndSysnativeShown) {
  FakeSession f;
  f.w.wow64 = true;
  f.w.AddFile(L"C:\\Windows\\Sysnative\\drivers\\hosts", "h");
  f.w.AddFile(L"C:\\Other\\HOSTS", "other");
  f.w.AddFile(L"C:\\Other\\b.txt", "b");
  EXPECT_EQ(Ran(ZipDirective, f,
                {L"C:\\Windows\\Sysnative\\drivers\\hosts C:\\Out\\Deep\\z.zip",
                 L"\"C:\\Other\\HOSTS\" \"C:\\Out\\Deep\\z.zip\"", L"C:\\Other\\HOSTS C:\\Out\\y.zip",
                 L"C:\\Other\\b.txt C:\\Out\\Deep\\z.zip"},
                false),
            L"Successfully copied file C:\\Windows\\System32\\drivers\\hosts to zip file at C:\\Out\\Deep\\z.zip.\r\n"
            L"Failed to copy file C:\\Other\\HOSTS to zip file at C:\\Out\\Deep\\z.zip due to name collision.\r\n"
            L"Successfully copied file C:\\Other\\HOSTS to zip file at C:\\Out\\y.zip.\r\n"
            L"Successfully copied file C:\\Other\\b.txt to zip file at C:\\Out\\Deep\\z.zip.\r\n");
}

}  // namespace
}  // namespace corvex
