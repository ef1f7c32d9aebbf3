// SymbolServer:: lines and the image headers it reads, from a local file
// and from whatever the server sends back. The input is split at the first
// NUL: the lines, then the bytes served for every address (and planted as
// the local C:\img.dll).
#include <algorithm>

#include "core/text_reader.h"
#include "core/working_folders.h"
#include "fuzz_support.h"
#include "online/symbol_server.h"
#include "platform/fake/fake_http.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_symbol_server)(const uint8_t* data, size_t size) {
  const std::string all = Bytes(data, size);
  const size_t cut = all.find('\0');
  const std::string text = all.substr(0, cut);
  const std::string served = cut == std::string::npos ? std::string() : all.substr(cut + 1);

  uint32_t stamp = 0, imageSize = 0;
  online::ReadImageIdentity(served, stamp, imageSize);

  Fake f;
  f.w.AddFile(L"C:\\img.dll", served);
  f.w.http().handler = [&](const fake::FakeHttpRequest&) { return platform::HttpReply{200, served}; };
  const std::vector<std::wstring> before = f.w.ListTree(L"C:\\");
  Lines lines;
  for (const std::wstring& line : Split(FromLatin1(text), L"\n")) {
    online::SymbolLine parsed;
    if (online::ParseSymbolLine(line, parsed)) FUZZ_CHECK(!parsed.file.empty(), "a line without a file accepted");
    lines.push_back(line);
  }
  std::wstring report;
  online::SymbolServerDirective(f.s, lines, L"", report);

  const std::wstring cache = ToLower(TempFolder(f.s) + L"\\MicrosoftSymbolServerBinaries\\");
  for (const std::wstring& path : f.w.ListTree(L"C:\\")) {
    const std::wstring lower = ToLower(path);
    const fake::FakeNode* node = f.w.Node(path);
    if (std::find(before.begin(), before.end(), path) != before.end() || (node && node->folder)) continue;
    FUZZ_CHECK(StartsWith(lower, cache), "a file written outside the symbol cache");
  }
  for (const auto& request : f.w.http().requests)
    FUZZ_CHECK(request.url.find(L"..") == std::wstring::npos, "an address that climbs");
  return 0;
}
