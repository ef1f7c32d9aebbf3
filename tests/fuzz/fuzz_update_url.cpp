// The support server's update-URL reply and download addresses from a
// stranger. The input is split at NULs: the reply, an address to download,
// the knowledge-base number asked for. A download named as a known
// self-extracting package is unpacked too: unsigned, it must not run.
#include <algorithm>

#include "analysis/package_extraction.h"
#include "analysis/package_names.h"
#include "analysis/package_sourcing.h"
#include "app/download_services_online.h"
#include "core/working_folders.h"
#include "fuzz_support.h"
#include "online/servers.h"
#include "platform/fake/fake_http.h"
#include "script/zip_reader.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_update_url)(const uint8_t* data, size_t size) {
  const std::vector<std::string> parts = SplitAtNuls(Bytes(data, size), 3);
  const std::wstring address = FromLatin1(parts[1]);
  const std::wstring kb = FromLatin1(parts[2]);

  const std::wstring name = DownloadFileName(address);
  FUZZ_CHECK(name.empty() || (IsSafeFileName(name) && name.find_first_of(L"\\/:") == std::wstring::npos),
             "a download name that is no plain file name");

  Fake f;
  const std::vector<std::wstring> before = f.w.ListTree(L"C:\\");
  OnlineDownloadServices services(f.s);
  f.w.http().handler = [&](const fake::FakeHttpRequest& r) {
    if (r.url.find(L"GenerateUpdateURL.php") != std::wstring::npos) return platform::HttpReply{200, parts[0]};
    return platform::HttpReply{200, "package"};
  };
  f.w.FeedKeys(L"y");
  const std::wstring url = RequestUpdateUrl(f.s, services, kb);
  if (!url.empty()) {
    FUZZ_CHECK(kb.find_first_not_of(L"0123456789") == std::wstring::npos, "a request for a KB that is no number");
    FUZZ_CHECK(online::IsMicrosoftDownloadUrl(f.s, url), "an untrusted address taken");
    FUZZ_CHECK(url.find_first_of(L" \t\r\n") == std::wstring::npos, "more than one line taken");
  }
  for (const std::wstring& u : {url, address}) {
    const std::wstring path = AllowMicrosoftDownload(f.s, services, u);
    if (path.empty()) continue;
    FUZZ_CHECK(online::IsMicrosoftDownloadUrl(f.s, u), "an untrusted address downloaded");
    FUZZ_CHECK(path == TempFolder(f.s) + L"\\" + DownloadFileName(u), "a download outside the Temp folder");
    // Whatever its name, a downloaded program nobody signed is never run.
    if (FindSelfExtractingKind(DownloadFileName(u))) {
      ExtractionResult unpacked = ExtractPackage(f.s, path, TempFolder(f.s));
      FUZZ_CHECK(!unpacked.complete && f.w.processesRun.empty(), "an unsigned self-extracting package was run");
      RemoveExtraction(f.w.platform().fs, unpacked.folder);
    }
  }
  for (const std::wstring& p : f.w.ListTree(L"C:\\")) {
    const bool old = std::find(before.begin(), before.end(), p) != before.end();
    FUZZ_CHECK(old || f.w.IsFolder(p) || p.rfind(TempFolder(f.s) + L"\\", 0) == 0,
               "a file written outside the Temp folder");
  }
  return 0;
}
