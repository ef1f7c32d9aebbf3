// The registry flash scan against a stranger's server: the input is split
// at the first two NULs into the version answer, the database archive the
// answer may point at, and a held components.txt. Whatever they hold, the
// scan ends, downloads only what a version and an https address name, and
// keeps the held database's version unless a new database went in whole.
#include "app/flash_scan_services.h"
#include "core/working_folders.h"
#include "fuzz_support.h"
#include "platform/fake/fake_http.h"
#include "platform/fake/fake_registry.h"
#include "registry/flash_scan.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_flash_scan)(const uint8_t* data, size_t size) {
  const std::vector<std::string> parts = SplitAtNuls(Bytes(data, size), 3);

  Fake f;
  f.s.programPath = L"C:\\Tools\\Corvex.exe";
  f.w.AddFile(f.s.programPath, "MZ program00000042");
  f.w.registry().WriteHiveFile(L"C:\\Windows\\System32\\config\\COMPONENTS",
                               L"[DerivedData\\Components\\x86_a]\r\n\"S256H\"=hex:00,ff\r\n"
                               L"[DerivedData\\VersionedIndex\\1.0\\ComponentFamilies\\fam]\r\n");
  const std::wstring db = kWork + L"\\WindowsUpdateRegistryDatabase\\";
  f.w.AddFile(db + L"components.txt", parts[2]);
  f.w.AddFile(kWork + L"\\registryDatabaseVersion.txt", "4");
  f.w.AddFile(kWork + L"\\RegistryDatabaseApprovalReceived", "");
  size_t downloads = 0;
  f.w.http().handler = [&](const fake::FakeHttpRequest& r) -> platform::HttpReply {
    if (r.url.find(L"fetchdbdownloadlink") != std::wstring::npos) return {200, parts[0]};
    if (r.url.find(L"do=") != std::wstring::npos) return {200, "OK"};
    if (r.method == L"POST") return {200, "OK"};
    ++downloads;
    return {200, parts[1]};
  };
  OnlineFlashScanServices services(f.s);
  RunRegistryFlashScan(f.s, services);

  const std::string answer = parts[0];
  const size_t comma = answer.find(',');
  FUZZ_CHECK(downloads == 0 || (comma != std::string::npos && comma > 0), "a download without a version");
  // A new version is written only once its database is in place: digits.
  const std::string version = f.w.FileBytes(kWork + L"\\registryDatabaseVersion.txt");
  if (version != "4") {
    FUZZ_CHECK(downloads > 0 && version.size() > 2 && version.compare(0, 2, "\xFF\xFE") == 0, "version replaced");
    for (size_t i = 2; i + 1 < version.size(); i += 2)
      FUZZ_CHECK(version[i] >= '0' && version[i] <= '9' && version[i + 1] == 0, "a version that is no number");
    FUZZ_CHECK(f.w.IsFolder(db), "a new version without its database");
  }
  FUZZ_CHECK(f.w.Exists(kWork + L"\\RegistryDatabaseAlreadyRun"), "the scan is not marked as run");
  FUZZ_CHECK(!f.w.Exists(kWork + L"\\QuillmereWindowsUpdateRegistryDatabase.7z"), "the archive was left");
  return 0;
}
