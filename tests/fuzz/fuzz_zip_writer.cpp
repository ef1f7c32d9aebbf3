// The zip writer's round trip: entries cut from the input (names and
// contents, some of them folders, some added to an existing archive) are
// written, then read back through the zip reader and must be what went in.
#include <map>

#include "fuzz_support.h"
#include "online/zip_writer.h"
#include "script/zip_reader.h"

using namespace corvex;
using namespace corvex::fuzz;

namespace {

std::map<std::wstring, std::string> ReadBack(Fake& f, const std::wstring& zip) {
  std::map<std::wstring, std::string> out;
  auto file = f.s.os.fs.Open(zip, platform::access::kRead, platform::share::kRead,
                             platform::Disposition::kOpenExisting);
  FUZZ_CHECK(file.ok(), "the written archive cannot be opened");
  ZipReader reader(**file, zip);
  ZipListing listing = reader.Parse();
  FUZZ_CHECK(listing.error.empty(), "the written archive does not parse");
  for (ZipEntry& e : listing.entries) {
    std::string data = e.folder ? "/" : "";
    if (!e.folder) {
      std::wstring error = reader.Locate(e);
      if (error.empty()) error = reader.Inflate(e, [&](const std::string& piece) { data += piece; return L""; });
      FUZZ_CHECK(error.empty(), "a written entry does not read back");
    }
    FUZZ_CHECK(out.emplace(ToLower(e.name), data).second, "a name written twice");
  }
  return out;
}

}  // namespace

FUZZ_TARGET(fuzz_zip_writer)(const uint8_t* data, size_t size) {
  Fake f;
  const std::string input = Bytes(data, size);
  const std::wstring zip = L"C:\\out\\a.zip";
  f.w.AddFolder(L"C:\\out");
  std::map<std::wstring, std::string> want;
  // Records: a control byte, a name up to '\0', content up to '\1'.
  size_t p = 0;
  int written = 0;
  std::unique_ptr<ZipWriter> w;
  while (p < input.size() && written < 40) {
    const unsigned char control = static_cast<unsigned char>(input[p++]);
    size_t nameEnd = input.find('\0', p);
    if (nameEnd == std::string::npos) nameEnd = input.size();
    const std::wstring name = FromLatin1(input.substr(p, nameEnd - p));
    p = std::min(input.size(), nameEnd + 1);
    size_t dataEnd = input.find('\1', p);
    if (dataEnd == std::string::npos) dataEnd = input.size();
    std::string content = input.substr(p, dataEnd - p);
    p = std::min(input.size(), dataEnd + 1);
    if (content.size() > 0 && (control & 0x10)) content = std::string(content.size() * 5000, content[0]);
    if (!w) {
      auto opened = ZipWriter::Open(f.s.os.fs, zip, f.s.os.env.Now());
      FUZZ_CHECK(opened.ok(), "an archive the writer made is refused");
      w = std::move(*opened);
    }
    const bool taken = w->Contains(name);
    platform::Status added;
    if (control & 1) {
      added = w->AddFolder(name);
    } else {
      const std::wstring source = L"C:\\in\\" + std::to_wstring(written);
      f.w.AddFile(source, content);
      added = w->AddFile(source, name);
    }
    FUZZ_CHECK(!(taken && added.ok()), "a name was added twice");
    if (added.ok()) {
      std::wstring key = ToLower(ReplaceAll(name, L"/", L"\\"));
      while (!key.empty() && key.back() == L'\\') key.pop_back();
      want[key] = (control & 1) ? "/" : content;
    }
    ++written;
    // Now and then the archive is finished and added to afresh.
    if (control & 2) {
      FUZZ_CHECK(w->Commit().ok(), "commit failed");
      w.reset();
    }
  }
  if (w) FUZZ_CHECK(w->Commit().ok(), "commit failed");
  if (f.w.Exists(zip)) FUZZ_CHECK(ReadBack(f, zip) == want, "the archive does not hold what was written");
  return 0;
}
