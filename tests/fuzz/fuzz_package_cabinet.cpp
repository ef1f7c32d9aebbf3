// Arbitrary bytes as a cabinet: first through the cabinet reader alone
// (headers, then every entry decompressed), then as a package unpacked by
// ExtractPackage on the fake with one worker. Whatever the bytes, nothing
// may be written outside the work folder, and a result that says complete
// has no refusal among its sentences.
#include "analysis/package_extraction.h"
#include "fuzz_support.h"
#include "platform/fake/fake_packages.h"

using namespace corvex;

FUZZ_TARGET(fuzz_package_cabinet)(const uint8_t* data, size_t size) {
  const std::string bytes = fuzz::Bytes(data, size);
  auto entries = fake::ReadCabinetBytes(bytes, true);
  if (entries)
    for (const auto& e : *entries) FUZZ_CHECK(e.size <= 0xFFFFFFFFu, "an entry larger than a cabinet can hold");

  fuzz::Fake f;
  const std::wstring package = L"C:\\Downloads\\p.cab";
  const std::wstring output = L"C:\\Out";
  f.w.AddFile(package, bytes);
  const auto before = f.w.ListTree(L"C:\\");
  ExtractionOptions o;
  o.workers = 1;
  o.maxTotalBytes = 1u << 22;
  ExtractionResult r = ExtractPackage(f.s, package, output, o);
  for (const std::wstring& path : f.w.ListTree(L"C:\\")) {
    bool old = std::find(before.begin(), before.end(), path) != before.end();
    bool inside = !r.folder.empty() && (IEquals(path, output) || IEquals(path, r.folder) ||
                                        IStartsWith(path, r.folder + L"\\"));
    FUZZ_CHECK(old || inside, "a file written outside the work folder");
  }
  if (r.complete)
    for (const auto& m : r.messages) FUZZ_CHECK(m.find(L"refused") == std::wstring::npos, "complete despite a refusal");
  FUZZ_CHECK(r.bytes <= o.maxTotalBytes, "more bytes than the cap");
  return 0;
}
