// The update server's answers (version, hash) and the hand-over arguments.
// The input is split at NULs: the version answer, the hash answer, the
// start arguments. The whole check runs against these answers with the
// served program fixed, so only a hash that matches it may start anything.
#include "fuzz_support.h"
#include "online/update_check.h"
#include "platform/fake/fake_http.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_update_answers)(const uint8_t* data, size_t size) {
  const std::vector<std::string> parts = SplitAtNuls(Bytes(data, size), 3);
  const std::wstring version = FromLatin1(parts[0]);
  const std::wstring arguments = FromLatin1(parts[2]);

  std::vector<uint32_t> fields = online::ParseVersion(version);
  FUZZ_CHECK(fields.size() <= 4, "more than four version fields");
  FUZZ_CHECK(online::CompareVersions(version, version) == 0, "a version differs from itself");
  online::HandOver h = online::ParseHandOver(arguments);
  FUZZ_CHECK(h.target.find(L'?') == std::wstring::npos, "a target with a question mark");

  Fake f;
  f.s.programPath = L"C:\\Tools\\Corvex.exe";
  f.s.programVersion = L"1.0.0.0";
  f.s.versionKnown = true;
  f.w.AddFile(f.s.programPath, "MZ old 00000000");
  f.w.FeedKeys(L"kkkk");
  f.w.http().handler = [&](const fake::FakeHttpRequest& r) {
    if (r.url.find(L"GetLatestVersion") != std::wstring::npos) return platform::HttpReply{200, parts[0]};
    if (r.url.find(L"GetFileHash") != std::wstring::npos) return platform::HttpReply{200, parts[1]};
    return platform::HttpReply{200, "MZ new 00000000"};
  };
  bool started = false;
  f.w.OnProcess(L"Corvex.exe", [&](const platform::ProcessRequest&) {
    started = true;
    return platform::ProcessOutcome{};
  });
  online::CheckForUpdates(f.s, {f.s.programPath, arguments});
  if (started && arguments.find(L'?') == std::wstring::npos) {
    FUZZ_CHECK(online::IsSha256Hex(Trim(FromLatin1(parts[1]))), "an update started on a hash that is none");
    FUZZ_CHECK(online::CompareVersions(L"1.0.0.0", Trim(version)) < 0, "an update started that is not newer");
  }
  return 0;
}
