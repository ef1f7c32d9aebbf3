// Registry database lines of every entry class. The first byte picks the
// class, the rest is the file's text. Every line is read or counted as
// skipped, a line read once reads back to itself after one writing, and
// every entry read is found again by its name.
#include "fuzz_support.h"
#include "registry/database_entry.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_database_lines)(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const EntryKind kinds[] = {EntryKind::kCatalog,         EntryKind::kDeployment,      EntryKind::kComponent,
                             EntryKind::kVersionedIndexVista, EntryKind::kVersionedIndex7, EntryKind::kVersionedIndex8};
  const EntryKind kind = kinds[data[0] % 6];
  const std::wstring text = FromLatin1(Bytes(data + 1, size - 1));

  size_t lines = 0;
  for (const std::wstring& raw : Split(text, L"\n")) {
    std::wstring line = !raw.empty() && raw.back() == L'\r' ? raw.substr(0, raw.size() - 1) : raw;
    if (line.empty()) continue;
    ++lines;
    auto entry = ParseDatabaseLine(kind, line);
    if (!entry) continue;
    std::wstring once = entry->DatabaseLine();
    auto again = ParseDatabaseLine(kind, once);
    FUZZ_CHECK(again != nullptr, "a written line does not read back");
    FUZZ_CHECK(again->DatabaseLine() == once, "a written line reads back differently");
    FUZZ_CHECK(again->Equals(*entry), "an entry differs from its own reading");
  }
  RegistryDatabase db;
  db.Read(kind, text);
  FUZZ_CHECK(db.size() + db.skipped() == lines, "a line neither read nor counted");
  for (const std::wstring& raw : Split(text, L"\n")) {
    std::wstring line = !raw.empty() && raw.back() == L'\r' ? raw.substr(0, raw.size() - 1) : raw;
    auto entry = line.empty() ? nullptr : ParseDatabaseLine(kind, line);
    if (entry) FUZZ_CHECK(db.Find(ToLower(entry->keyName)) != nullptr, "an entry read is not found");
  }
  return 0;
}
