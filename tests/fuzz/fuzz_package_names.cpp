// The check of entry names from update packages. The input, read as
// UTF-16LE, is one name; a name accepted for a cabinet must, joined to a
// folder and resolved as Win32 resolves paths, stay inside that folder and
// keep its meaning (no device, no stream, no stripped dots); one accepted
// as an installer name must also be a single component.
#include "analysis/package_names.h"
#include "fuzz_support.h"

using namespace corvex;

FUZZ_TARGET(fuzz_package_names)(const uint8_t* data, size_t size) {
  const std::wstring name = FromUtf16Le(fuzz::Bytes(data, size));
  const std::wstring base = L"C:\\Corvex\\Packages\\RARiroderuz_1";
  for (EntryNameKind kind : {EntryNameKind::kCabinetEntry, EntryNameKind::kInstallerName}) {
    EntryNameFault fault = CheckEntryName(name, kind);
    FUZZ_CHECK(!EntryNameFaultText(fault).empty(), "a fault without a sentence");
    if (fault != EntryNameFault::kNone) continue;
    const std::wstring rel = EntryRelativePath(name);
    FUZZ_CHECK(rel.size() == name.size(), "the relative path changed length");
    FUZZ_CHECK(rel.find(L':') == std::wstring::npos, "an accepted name holds a colon");
    if (kind == EntryNameKind::kInstallerName)
      FUZZ_CHECK(rel.find(L'\\') == std::wstring::npos, "an installer name with a separator");
    const std::wstring joined = base + L"\\" + rel;
    auto plain = fake::FakeWindows::Resolve(joined, 1u << 20);
    if (plain.code) continue;
    // Resolving may neither climb nor strip: the literal and the resolved
    // paths name the same object.
    FUZZ_CHECK(IEquals(plain.display, joined), "the name resolves to another path");
  }
  return 0;
}
