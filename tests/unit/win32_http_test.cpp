#ifdef _WIN32

// The real HTTP backend against the loopback test server
// (tests/servers/win32_http_check.py starts it, with its pages, and sets
// CORVEX_TEST_SERVER_URL); without a server these tests are skipped.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/win32/win32_http.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

std::wstring ServerUrl() {
  const wchar_t* url = _wgetenv(L"CORVEX_TEST_SERVER_URL");
  return url ? url : L"";
}

using testing::RawRead;

std::string Letters(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

struct Counting : platform::TransferProgress {
  uint64_t last = 0, total = 0;
  int calls = 0;
  void OnProgress(uint64_t done, uint64_t t) override {
    last = done;
    total = t;
    ++calls;
  }
};

class Win32HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServerUrl().empty()) GTEST_SKIP() << "CORVEX_TEST_SERVER_URL is not set";
    ASSERT_TRUE(folder.ok());
    target = folder / L"page.bin";
  }
  testing::TempFolder folder;
  Win32Http http;
  std::wstring target;
};

TEST_F(Win32HttpTest, DownloadsWholePagesWithProgress) {
  Counting progress;
  ASSERT_TRUE(http.Download(ServerUrl() + L"/page.bin", target, &progress));
  EXPECT_EQ(RawRead(target), Letters(300000));
  EXPECT_EQ(progress.last, 300000u);
  EXPECT_EQ(progress.total, 300000u);
  EXPECT_GT(progress.calls, 1);
  EXPECT_TRUE(http.DeleteCacheEntry(ServerUrl() + L"/page.bin")) << "a page not cached is no failure";
  // The size is asked of the address's own port.
  EXPECT_EQ(http.RemoteSize(ServerUrl() + L"/page.bin").value_or(0), 300000u);
  EXPECT_FALSE(http.RemoteSize(ServerUrl() + L"/missing.bin"));
}

// Missing and error pages, and a body cut short of its announced length,
// are failures and leave no file.
TEST_F(Win32HttpTest, FailuresLeaveNoFile) {
  for (const wchar_t* page : {L"/missing.bin", L"/error.html", L"/truncated.bin"}) {
    platform::Status got = http.Download(ServerUrl() + page, target, nullptr);
    EXPECT_FALSE(got) << page;
    EXPECT_EQ(GetFileAttributesW(target.c_str()), INVALID_FILE_ATTRIBUTES) << page;
    EXPECT_EQ(GetFileAttributesW((target + L".download").c_str()), INVALID_FILE_ATTRIBUTES) << page;
  }
  EXPECT_EQ(http.Download(ServerUrl() + L"/missing.bin", target, nullptr).code(), platform::err::kHttpStatus);
}

TEST_F(Win32HttpTest, DownloadStopsAtTheAnnouncedSizeAndRefusesABodyPastItsLimit) {
  ASSERT_TRUE(http.Download(ServerUrl() + L"/overlong.bin", folder / L"overlong.bin", nullptr));
  EXPECT_EQ(RawRead(folder / L"overlong.bin"), Letters(1000));
  EXPECT_EQ(http.DownloadAtMost(ServerUrl() + L"/page.bin", target, nullptr, 299999).code(),
            platform::err::kFileTooLarge);
  EXPECT_EQ(GetFileAttributesW(target.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW((target + L".download").c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(http.DownloadAtMost(ServerUrl() + L"/page.bin", target, nullptr, 300000));
  EXPECT_EQ(RawRead(target), Letters(300000));
}

TEST_F(Win32HttpTest, PostIsStreamedInWrites) {
  const std::string body = Letters(70000);
  auto upload = http.BeginPost(ServerUrl() + L"/Tallwen/apps/Corvex_UploadFile.php?id=7&part=-1",
                               L"Content-Type: multipart/form-data; boundary=xyz\r\n", body.size());
  ASSERT_TRUE(upload);
  ASSERT_TRUE((*upload)->Write(body.data(), 1));
  ASSERT_TRUE((*upload)->Write(body.data() + 1, 65535));
  ASSERT_TRUE((*upload)->Write(body.data() + 65536, body.size() - 65536));
  EXPECT_FALSE((*upload)->Write("x", 1)) << "past the announced length";
  platform::Result<platform::HttpReply> reply = (*upload)->Finish();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200u);
  EXPECT_EQ(reply->body, "OK");
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
