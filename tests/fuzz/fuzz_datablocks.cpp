// The datablock store as a damaged machine may hold it: read, counted,
// searched, rewritten, and a record put back through the emulated icacls.
#include "fs/datablock_count.h"
#include "core/datablock_store.h"
#include "fs/datablocks.h"
#include "fuzz_support.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_datablocks)(const uint8_t* data, size_t size) {
  Fake f;
  f.w.AddFile(kWork + L"\\DataBlocks", Bytes(data, size));

  DataBlockStore store;
  FUZZ_CHECK(store.Load(f.s), "a readable store refused");
  const std::vector<std::wstring> records = store.records();
  for (auto& r : records) {
    FUZZ_CHECK(!Trim(r).empty(), "a blank record");
    FUZZ_CHECK(r.find_first_of(L"\r\n") == std::wstring::npos, "a record across lines");
  }
  auto count = CountStoredDataBlocks(f.s);
  FUZZ_CHECK(count.ok() && *count == records.size(), "the count differs from the records read");

  // Written back and read again, the store holds the same records.
  FUZZ_CHECK(store.Save(f.s), "the store could not be written");
  DataBlockStore again;
  FUZZ_CHECK(again.Load(f.s), "a written store could not be read");
  FUZZ_CHECK(again.records() == records, "records changed through a write and a read");
  if (records.empty()) return 0;

  // The index finds what a scan finds.
  for (auto& r : records) {
    const std::wstring key = RecordKey(r);
    const std::wstring* byKey = again.FindKey(key);
    FUZZ_CHECK(byKey && RecordKey(*byKey) == key, "a record's key not found");
    const std::wstring* file = again.FindFileRecord(key);
    const std::wstring* scanned = nullptr;
    for (auto& c : records)
      if (!scanned && StartsWith(c, key + L"|")) scanned = &c;
    FUZZ_CHECK((file == nullptr) == (scanned == nullptr) && (!file || *file == *scanned),
               "FindFileRecord differs from the first record with the key and a '|'");
  }
  const std::wstring key = RecordKey(records.front());
  auto dropped = again.Remove({key});
  FUZZ_CHECK(!dropped.empty() && again.FindKey(key) == nullptr, "a removed key still found");

  FindRegistryDataBlock(f.s, key);
  CopyRegistryDataBlock(f.s, key, L"HKLM\\SOFTWARE\\Copy");
  AddRegistryDataBlock(f.s, L"HKLM\\SOFTWARE\\Added", L"D:(A;;KA;;;BA)");
  DataBlockStore after;
  FUZZ_CHECK(after.Load(f.s), "the store unreadable after registry records");
  FUZZ_CHECK(after.records().size() >= records.size(), "registry operations lost records");

  // A record put back: icacls gets the DACL, the object gets the owner.
  if (IStartsWith(key, L"C:\\") && key.size() > 3) f.w.AddFile(key, "x");
  std::wstring report;
  RestoreFromDataBlock(f.s, key, report);
  return 0;
}
