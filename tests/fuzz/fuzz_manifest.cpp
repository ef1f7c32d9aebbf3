// Component manifests from a damaged store: the search for a file's
// security descriptor, and the datablock made from what it finds.
#include "core/text_reader.h"
#include "core/datablock_store.h"
#include "fs/datablocks.h"
#include "fs/manifest_security.h"
#include "fuzz_support.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_manifest)(const uint8_t* data, size_t size) {
  // Read as the repair reads a manifest file.
  const std::wstring text = DecodeText(Bytes(data, size));
  for (const wchar_t* name : {L"ntdll.dll", L""}) {
    ManifestSecurity found = FindFileSecurity(text, name);
    if (found.state != ManifestLookup::kFound) {
      FUZZ_CHECK(found.sddl.empty(), "an SDDL without a found definition");
      continue;
    }
    FUZZ_CHECK(found.sddl.find(L'"') == std::wstring::npos, "an attribute value running past its quote");
    FUZZ_CHECK(found.descriptorName.find(L'"') == std::wstring::npos, "a descriptor name past its quote");

    // The found SDDL replaces the store copy's datablock.
    Fake f;
    const std::wstring path = L"C:\\Windows\\WinSxS\\amd64_x_31bf3856ad364e35_10.0.1_none_0\\ntdll.dll";
    if (ReplaceFileDataBlock(f.s, path, found.sddl) != datablock::kStored) continue;
    DataBlockStore store;
    FUZZ_CHECK(store.Load(f.s), "the store unreadable after a replacement");
    const std::vector<std::wstring>& records = store.records();
    FUZZ_CHECK(records.size() == 1, "one replacement left other than one record");
    std::vector<std::wstring> fields = Split(records[0], L"|");
    FUZZ_CHECK(fields.size() == 3 && fields[0] == path, "the record does not read back as path|DACL|owner");
    FUZZ_CHECK(StartsWith(fields[1], L"D:") && StartsWith(found.sddl, L"O:" + fields[2]),
               "the DACL or owner read back differs from the manifest's");
  }
  return 0;
}
