#include "online/symbol_server.h"

#include <gtest/gtest.h>

#include "core/working_folders.h"
#include "online/servers.h"
#include "platform/fake/fake_http.h"
#include "test_support.h"

namespace corvex {
namespace {

using online::ParseSymbolLine;
using online::SymbolLine;
using testing::FakeSession;

// The headers of a PE image with this link time and image size.
std::string Image(uint32_t stamp, uint32_t size) {
  std::string b(0x200, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  b[0x3C] = 0x80;
  b.replace(0x80, 4, std::string("PE\0\0", 4));
  for (int i = 0; i < 4; ++i) {
    b[0x80 + 8 + i] = static_cast<char>(stamp >> (8 * i));
    b[0x80 + 24 + 56 + i] = static_cast<char>(size >> (8 * i));
  }
  return b;
}

// The common form is read in SymbolServer.RefusesUnsafeNamesAndKeepsOnlyWhatCarriesTheIdentityAskedFor.
TEST(SymbolServer, LinesAreReadFieldByField) {
  struct Case {
    std::wstring line;
    bool ok;
    std::wstring file;
    uint32_t stamp, size;
  };
  const std::vector<Case> cases = {
      {L"size 0X10,file C:\\Program Files\\a b.dll,timestamp 1 2", true, L"C:\\Program Files\\a b.dll", 1, 0x10},
      {L"file a.dll, timestamp 0xG1", false, L"", 0, 0},
      {L"file a.dll, size 123456789", false, L"", 0, 0},
      {L"timestamp 1, size 2", false, L"", 0, 0},
  };
  for (const Case& c : cases) {
    SymbolLine l;
    EXPECT_EQ(ParseSymbolLine(c.line, l), c.ok) << c.line;
    if (!c.ok) continue;
    EXPECT_EQ(l.file, c.file);
    EXPECT_EQ(l.stamp, c.stamp);
    EXPECT_EQ(l.size, c.size);
  }
}

struct Symbols : FakeSession {
  std::wstring Url(const std::wstring& name, const std::wstring& key) {
    return online::SymbolServerUrl(s, L"/" + name + L"/" + key + L"/" + name);
  }
  std::wstring Cached(const std::wstring& name, const std::wstring& key) {
    return TempFolder(s) + L"\\MicrosoftSymbolServerBinaries\\" + name + L"\\" + key + L"\\" + name;
  }
  std::wstring Run(const std::wstring& line, bool expectOk) {
    std::wstring report;
    EXPECT_EQ(online::SymbolServerDirective(s, {line}, L"", report), expectOk) << report;
    return report;
  }
};

// Refused lines ask nothing of the server; of what is downloaded, only the
// image carrying the identity asked for is kept.
TEST(SymbolServer, RefusesUnsafeNamesAndKeepsOnlyWhatCarriesTheIdentityAskedFor) {
  Symbols x;
  EXPECT_EQ(x.Run(L"file C:\\missing.dll", false),
            L"Failed to extract identifying data for file C:\\missing.dll.\r\n\r\n");
  for (const wchar_t* line : {L"file ..\\..\\x.dll, timestamp 1, size 2", L"file a/b.dll, timestamp 1, size 2",
                              L"file *.dll, timestamp 1, size 2", L"file C:\\x\\a.dll, timestamp 1, size 2",
                              L"file a.dll, timestamp 1"})
    EXPECT_EQ(x.Run(line, false).find(L"Failed to identify file for line "), 0u) << line;
  EXPECT_TRUE(x.w.http().requests.empty());

  const std::string good = Image(0x5E1A2B3C, 0x1F000);
  x.w.http().Serve(x.Url(L"ntdll.dll", L"5E1A2B3C1f000"), good);
  EXPECT_TRUE(testing::Holds(x.Run(L"file ntdll.dll, timestamp 5E1A2B3C, size 0x1F000", true),
                             L"Successfully downloaded file to " + x.Cached(L"ntdll.dll", L"5E1A2B3C1f000")));
  EXPECT_EQ(x.w.FileBytes(x.Cached(L"ntdll.dll", L"5E1A2B3C1f000")), good);

  // Identity read from a local copy; the server's file has another size.
  x.w.AddFile(L"C:\\Windows\\System32\\kernel.dll", Image(0x11, 0x2000));
  x.w.http().Serve(x.Url(L"kernel.dll", L"000000112000"), Image(0x11, 0x3000));
  EXPECT_EQ(x.Run(L"file C:\\Windows\\System32\\kernel.dll", false),
            L"Extracted identifying data for file C:\\Windows\\System32\\kernel.dll of timestamp 0x11 and image size "
            L"0x2000.\r\nFailed to download file kernel.dll from symbol server.\r\n\r\n");
  EXPECT_FALSE(x.w.Exists(x.Cached(L"kernel.dll", L"000000112000")));

  // A 404, even with a right file planted in the cache beforehand.
  x.w.AddFile(x.Cached(L"gone.dll", L"000000012"), Image(1, 2));
  EXPECT_EQ(x.Run(L"file gone.dll, timestamp 1, size 2", false),
            L"Identified file gone.dll of timestamp 0x1 and image size 0x2.\r\nFailed to download file gone.dll from "
            L"symbol server.\r\n\r\n");
  EXPECT_FALSE(x.w.Exists(x.Cached(L"gone.dll", L"000000012")));
}

}  // namespace
}  // namespace corvex
