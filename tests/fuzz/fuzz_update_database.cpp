// The Windows Update database's lookups over tables from a stranger, and
// its version check against a published version and archive. The input is
// split at NULs: the index, the manifest table, a payload table, the keys
// (one a line), the published version.
#include "analysis/update_database.h"
#include "app/download_services_online.h"
#include "fuzz_support.h"
#include "platform/fake/fake_http.h"

using namespace corvex;
using namespace corvex::fuzz;

namespace {

// Every line found answers its key: the key, "|", at least `fields` fields
// in all, no carriage return.
void CheckLines(const std::vector<std::wstring>& keys, const std::vector<std::vector<std::wstring>>& found,
                size_t fields) {
  FUZZ_CHECK(found.size() == keys.size(), "not one answer a key");
  for (size_t i = 0; i < keys.size(); ++i) {
    for (const std::wstring& line : found[i]) {
      FUZZ_CHECK(line.compare(0, keys[i].size() + 1, keys[i] + L"|") == 0, "a line that is not the key's");
      FUZZ_CHECK(Split(line, L"|").size() >= fields, "a line with too few fields");
      FUZZ_CHECK(line.empty() || line.back() != L'\r', "a carriage return kept");
    }
  }
}

}  // namespace

FUZZ_TARGET(fuzz_update_database)(const uint8_t* data, size_t size) {
  const std::vector<std::string> parts = SplitAtNuls(Bytes(data, size), 5);
  std::vector<std::wstring> keys;
  for (const std::wstring& k : Split(FromLatin1(parts[3]), L"\n")) keys.push_back(k);

  Fake f;
  const std::wstring tables = kWork + L"\\WindowsUpdateDatabase\\";
  f.w.AddFile(tables + L"IndexedLookupTable.txt", parts[0]);
  f.w.AddFile(tables + L"ManifestDatabase.txt", parts[1]);
  f.w.AddFile(tables + L"PayloadDatabase1.txt", parts[2]);
  f.w.AddFile(kWork + L"\\outside.txt", parts[2]);

  auto values = LookUpIndex(f.s, keys);
  FUZZ_CHECK(values.size() == keys.size(), "not one index value a key");
  for (const auto& v : values) FUZZ_CHECK(!v || v->find(L'|') == std::wstring::npos, "a value with a separator");

  OnlineDownloadServices services(f.s);
  f.w.http().handler = [&](const fake::FakeHttpRequest& r) {
    if (r.url.find(L"Version.txt") != std::wstring::npos) return platform::HttpReply{200, parts[4]};
    return platform::HttpReply{200, parts[2]};  // the archive
  };
  f.w.FeedKeys(L"y");
  CheckLines(keys, LookUpUpdateDatabase(f.s, services, keys, UpdateDatabaseMode::kManifest), 3);
  CheckLines(keys, LookUpUpdateDatabase(f.s, services, keys, UpdateDatabaseMode::kPayload), 3);

  // Whatever was published, a version written is one, and tables swapped
  // in have their index.
  auto version = ParseDatabaseVersion(Trim(FromLatin1(parts[4])));
  if (version) FUZZ_CHECK(CompareDatabaseVersions(*version, *version) == 0, "a version differs from itself");
  const std::string held = f.w.FileBytes(kWork + L"\\databaseVersion.txt");
  if (held.size() > 2)
    FUZZ_CHECK(ParseDatabaseVersion(Trim(FromUtf16Le(held, 2))).has_value(), "a version file that holds none");
  FUZZ_CHECK(f.w.Exists(tables + L"IndexedLookupTable.txt"), "tables without their index");
  return 0;
}
