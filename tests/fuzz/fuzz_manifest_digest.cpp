// Component manifests from a damaged store: the digest a manifest records
// for a file, and FileScan::'s comparison of a store copy with it.
#include "fs/file_directives.h"
#include "script/manifest_digest.h"
#include "fuzz_support.h"
#include "platform/fake/fake_security.h"

using namespace corvex;
using namespace corvex::fuzz;

namespace {

bool IsDigest(const std::wstring& d) {
  if (d.size() != 44 || d.back() != L'=') return false;
  for (wchar_t c : d.substr(0, 43))
    if (!((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'+' ||
          c == L'/'))
      return false;
  return true;
}

}  // namespace

FUZZ_TARGET(fuzz_manifest_digest)(const uint8_t* data, size_t size) {
  const std::string bytes = Bytes(data, size);
  const bool compressed = bytes.compare(0, 3, "DCM") == 0 || bytes.compare(0, 4, "PA30") == 0;
  std::wstring found;
  for (const wchar_t* name : {L"foo.dll", L"amd64\\x.dpb", L""}) {
    std::wstring digest = ManifestDigest(bytes, name);
    FUZZ_CHECK(digest == kUnknownDigest || IsDigest(digest), "neither UNKNOWN nor a Base64 SHA-256 digest");
    FUZZ_CHECK(!compressed || digest == kUnknownDigest, "a digest read out of a compressed manifest");
    FUZZ_CHECK(*name || digest == kUnknownDigest, "a digest for an empty file name");
    if (std::wstring(name) == L"foo.dll") found = digest;
  }

  // The same manifest beside a store copy: the expected side of the hash
  // line is what the lookup found.
  Fake f;
  const std::wstring component = L"amd64_microsoft-windows-foo_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";
  const std::wstring store = L"C:\\Windows\\WinSxS\\" + component + L"\\foo.dll";
  f.w.AddFile(store, "abc");
  f.w.AddFile(L"C:\\Windows\\WinSxS\\Manifests\\" + component + L".manifest", bytes);
  std::wstring report;
  FUZZ_CHECK(FileScanDirective(f.s, {L"foo.dll"}, L"", report), "the scan of a one-file volume failed");
  FUZZ_CHECK(report.find(L"\r\n Expected: " + found + L" Found: ") != std::wstring::npos,
             "the report's expected hash is not the manifest's");
  return 0;
}
