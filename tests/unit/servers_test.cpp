#include "online/servers.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

// Only a loopback override may redirect the servers; anything else leaves
// the real host in place.
TEST(Servers, OverrideHonouredOnlyForLoopback) {
  const wchar_t* real = L"https://updates.tallwen.net/Tallwen/apps/Corvex.exe";
  struct Case {
    const wchar_t* value;
    const wchar_t* expected;
  } cases[] = {
      {L"http://127.0.0.1:8123", L"http://127.0.0.1:8123/Tallwen/apps/Corvex.exe"},
      {L"http://127.0.0.1:8123/", L"http://127.0.0.1:8123/Tallwen/apps/Corvex.exe"},
      {L"http://[::1]:90", L"http://[::1]:90/Tallwen/apps/Corvex.exe"},
      {L"https://LocalHost", L"https://LocalHost/Tallwen/apps/Corvex.exe"},
      {L"http://127.0.0.1.evil.example:80", real},
      {L"http://localhost@evil.example", real},
      {L"http://::1:80", real},
      {L"http://10.0.0.1", real},
      {L"ftp://127.0.0.1", real},
      {L"http://127.0.0.1:0", real},
      {L"http://127.0.0.1:70000", real},
      {L"http://127.0.0.1/sub", real},
  };
  for (const Case& c : cases) {
    FakeSession f;
    f.w.SetEnv(L"CORVEX_SERVER_URL", c.value);
    EXPECT_EQ(online::UpdateServerUrl(f.s, L"/Tallwen/apps/Corvex.exe"), c.expected) << c.value;
  }
}

}  // namespace
}  // namespace corvex
