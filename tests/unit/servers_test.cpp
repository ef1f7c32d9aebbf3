#include "online/servers.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

// Only a loopback override may redirect the servers; anything else leaves
// the real host in place and says so in the trace.
TEST(Servers, OverrideHonouredOnlyForLoopback) {
  struct Case {
    const wchar_t* value;
    const wchar_t* expected;
  } cases[] = {
      {L"http://127.0.0.1:8123", L"http://127.0.0.1:8123/Tallwen/apps/Corvex.exe"},
      {L"http://127.0.0.1:8123/", L"http://127.0.0.1:8123/Tallwen/apps/Corvex.exe"},
      {L"http://[::1]:90", L"http://[::1]:90/Tallwen/apps/Corvex.exe"},
      {L"https://LocalHost", L"https://LocalHost/Tallwen/apps/Corvex.exe"},
      {L"http://127.0.0.1.evil.example:80", nullptr},
      {L"http://localhost@evil.example", nullptr},
      {L"http://::1:80", nullptr},
      {L"http://10.0.0.1", nullptr},
      {L"ftp://127.0.0.1", nullptr},
      {L"http://127.0.0.1:0", nullptr},
      {L"http://127.0.0.1:70000", nullptr},
      {L"http://127.0.0.1/sub", nullptr},
  };
  for (const Case& c : cases) {
    FakeSession f;
    f.w.SetEnv(L"CORVEX_SERVER_URL", c.value);
    std::wstring url = online::UpdateServerUrl(f.s, L"/Tallwen/apps/Corvex.exe");
    if (c.expected) {
      EXPECT_EQ(url, c.expected) << c.value;
      EXPECT_EQ(f.s.trace.find(L"CORVEX_SERVER_URL ignored"), std::wstring::npos) << c.value;
    } else {
      EXPECT_EQ(url.rfind(L"https://", 0), 0u) << c.value;
      EXPECT_EQ(url.find(L"127.0.0.1"), std::wstring::npos) << c.value;
      EXPECT_TRUE(testing::Holds(f.s.trace, L"CORVEX_SERVER_URL ignored")) << c.value;
    }
  }
}

}  // namespace
}  // namespace corvex
