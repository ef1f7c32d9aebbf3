// A 7z archive from a damaged download or a stranger: its headers read and
// every entry extracted through the fake file system.
#include <map>

#include "fuzz_support.h"
#include "online/seven_zip.h"
#include "online/seven_zip_reader.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_seven_zip)(const uint8_t* data, size_t size) {
  Fake f;
  const std::wstring archive = L"C:\\Downloads\\db.7z";
  const std::wstring dest = kWork + L"\\WindowsUpdateRegistryDatabase";
  f.w.AddFile(archive, Bytes(data, size));
  f.w.AddFile(kWork + L"\\registryDatabaseVersion.txt", "1");
  f.w.AddFolder(dest);

  // A small archive may rightly declare gigabytes (a bomb): extraction would
  // write them all, which is slow, not wrong. Such inputs stop at the header.
  {
    auto file = f.s.os.fs.Open(archive, platform::access::kRead, platform::share::kRead,
                               platform::Disposition::kOpenExisting);
    FUZZ_CHECK(file.ok(), "the archive cannot be opened");
    online::SevenZipArchive parsed;
    std::wstring reason = online::ReadSevenZipHeaders(**file, &parsed);
    FUZZ_CHECK(reason.find_first_of(L"\r\n") == std::wstring::npos, "a reason across lines");
    uint64_t total = 0;
    for (const auto& folder : parsed.folders) total += std::min<uint64_t>(folder.size, 1ull << 40);
    if (total > (16u << 20)) return 0;
  }

  std::map<std::wstring, std::string> before;
  for (auto& path : f.w.ListTree(L"C:")) before[fake::FakeWindows::Key(path)] = f.w.FileBytes(path);
  std::wstring error = online::ExtractSevenZip(f.s.os.fs, archive, dest);

  // Nothing lands outside the destination, nothing that was there changes,
  // and a failed extraction leaves nothing behind.
  const std::wstring destKey = fake::FakeWindows::Key(dest);
  for (auto& path : f.w.ListTree(L"C:")) {
    std::wstring key = fake::FakeWindows::Key(path);
    auto old = before.find(key);
    if (old != before.end()) {
      FUZZ_CHECK(old->second == f.w.FileBytes(path), "a file outside the archive was changed");
      continue;
    }
    FUZZ_CHECK(StartsWith(key, destKey + L"\\"), "an entry written outside the destination");
    FUZZ_CHECK(error.empty(), "a failed extraction left files behind");
  }
  FUZZ_CHECK(error.find_first_of(L"\r\n") == std::wstring::npos, "an error text across lines");
  return 0;
}
