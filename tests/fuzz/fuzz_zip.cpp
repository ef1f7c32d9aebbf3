// A script archive from a stranger: extracted through the fake file system.
#include <map>

#include "fuzz_support.h"
#include "script/zip_reader.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_zip)(const uint8_t* data, size_t size) {
  Fake f;
  const std::wstring zip = L"C:\\Downloads\\fix.zip";
  const std::wstring dest = kWork + L"\\Archive";
  f.w.AddFile(zip, Bytes(data, size));
  f.w.AddFile(L"C:\\Windows\\System32\\kernel32.dll", "MZ");
  std::map<std::wstring, std::string> before;
  for (auto& path : f.w.ListTree(L"C:")) before[fake::FakeWindows::Key(path)] = f.w.FileBytes(path);

  std::wstring error = ExtractZip(f.s.os.fs, zip, L"\\\\?\\" + dest);

  // Whatever the archive holds, nothing may land outside the folder it is
  // extracted to, and nothing that was there may change.
  const std::wstring destKey = fake::FakeWindows::Key(dest);
  for (auto& path : f.w.ListTree(L"C:")) {
    std::wstring key = fake::FakeWindows::Key(path);
    auto old = before.find(key);
    if (old != before.end()) {
      FUZZ_CHECK(old->second == f.w.FileBytes(path), "a file outside the archive was changed");
      continue;
    }
    bool inside = StartsWith(key, destKey + L"\\") || StartsWith(destKey, key);
    FUZZ_CHECK(inside, "an entry written outside the extraction folder");
    // A refused or damaged archive leaves nothing behind.
    FUZZ_CHECK(error.empty() || !StartsWith(key, destKey + L"\\"), "a failed extraction left files behind");
  }
  // Errors go into one line of the session log.
  FUZZ_CHECK(error.find_first_of(L"\r\n") == std::wstring::npos, "an error text across lines");
  return 0;
}
