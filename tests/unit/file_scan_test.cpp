#include "fs/file_scan.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

#include "fs/file_directives.h"
#include "script/manifest_digest.h"
#include "script/dispatcher.h"
#include "platform/fake/fake_security.h"
#include "platform/usn_records.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;

const std::wstring kComponent = L"amd64_microsoft-windows-foo_31bf3856ad364e35_10.0.19041.1_none_0123456789abcdef";
const std::wstring kStore = L"C:\\Windows\\WinSxS\\" + kComponent + L"\\foo.dll";
const std::wstring kSystem = L"C:\\Windows\\System32\\foo.dll";
const std::wstring kManifest = L"C:\\Windows\\WinSxS\\Manifests\\" + kComponent + L".manifest";
const std::string kAbc = "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=";  // SHA-256 of "abc"
const std::wstring kAbcW(kAbc.begin(), kAbc.end());

// A Windows 7 manifest keeps the hash element on one line; Windows 10 puts
// the namespace on the digest element itself.
std::string Win7Manifest(const std::string& file, const std::string& digest) {
  return "<?xml version=\"1.0\"?><assembly><file name=\"" + file +
         "\" sourceName=\"x\"><asmv2:hash xmlns:dsig=\"http://www.w3.org/2000/09/xmldsig#\"><dsig:Transforms>"
         "<dsig:Transform Algorithm=\"urn:x\" /></dsig:Transforms><dsig:DigestMethod Algorithm=\"sha256\" />"
         "<dsig:DigestValue>" + digest + "</dsig:DigestValue></asmv2:hash></file></assembly>";
}
std::string Win10Manifest(const std::string& file, const std::string& digest) {
  return "<assembly>\r\n  <file name=\"" + file + "\">\r\n    <asmv2:hash>\r\n"
         "      <dsig:DigestValue xmlns:dsig=\"http://www.w3.org/2000/09/xmldsig#\">" + digest +
         "</dsig:DigestValue>\r\n    </asmv2:hash>\r\n  </file>\r\n</assembly>\r\n";
}

TEST(ManifestDigest, FoundOnlyInTheFilesOwnElementAndNeverInCompressedBytes) {
  const struct {
    const char* what;
    std::string bytes;
    std::wstring file;
    std::wstring digest;
  } rows[] = {
      {"Windows 7 form", Win7Manifest("foo.dll", kAbc), L"foo.dll", kAbcW},
      {"Windows 10 form", Win10Manifest("foo.dll", kAbc), L"foo.dll", kAbcW},
      {"name in another case", Win10Manifest("FOO.DLL", kAbc), L"foo.dll", kAbcW},
      {"name with a sub-folder", Win7Manifest("amd64\\x.dpb", kAbc), L"amd64\\x.dpb", kAbcW},
      {"UTF-16 text", "\xFF\xFE" + ToUtf16Le(FromLatin1(Win10Manifest("foo.dll", kAbc))), L"foo.dll", kAbcW},
      {"a name that ends the wanted one", Win7Manifest("xfoo.dll", kAbc), L"foo.dll", kUnknownDigest},
      {"a longer name", Win7Manifest("foo.dll", kAbc), L"foo.dl", kUnknownDigest},
      {"file without a digest, then another's",
       "<file name=\"foo.dll\"><asmv2:hash></asmv2:hash></file>" + Win7Manifest("bar.dll", kAbc), L"foo.dll",
       kUnknownDigest},
      {"closed file element", "<file name=\"foo.dll\" />" + Win7Manifest("bar.dll", kAbc), L"foo.dll", kUnknownDigest},
      {"short digest", Win7Manifest("foo.dll", "AAAA"), L"foo.dll", kUnknownDigest},
      {"digest of another element", Win7Manifest("foo.dll", kAbc).replace(
                                        Win7Manifest("foo.dll", kAbc).find("DigestValue>"), 11, "DigestValueX"),
       L"foo.dll", kUnknownDigest},
      {"compressed (DCM)", "DCM\x01" + Win7Manifest("foo.dll", kAbc), L"foo.dll", kUnknownDigest},
      {"compressed (PA30)", "PA30" + Win10Manifest("foo.dll", kAbc), L"foo.dll", kUnknownDigest},
      {"empty", "", L"foo.dll", kUnknownDigest},
  };
  for (const auto& r : rows) EXPECT_EQ(ManifestDigest(r.bytes, r.file), r.digest) << r.what;
}

bool TraceStandIn(Session&, Lines lines, const std::wstring&, std::wstring& report) {
  report = L"Successfully traced component " + lines.at(0) + L".\r\n    p!Package_1\r\n\r\n";
  return true;
}

// FileScan:: run by the dispatcher over a table that has it and Trace::.
std::wstring Scan(FakeSession& f, const std::wstring& lines, DirectiveHandler trace = TraceStandIn,
                  RunResult* result = nullptr) {
  const DirectiveEntry entries[] = {{L"FileScan::", FileScanDirective}, {L"Trace::", trace}};
  f.s.log.clear();
  RunResult r = Dispatch(f.s, DirectiveTable{entries, 2}, L"FileScan::\r\n" + lines, L"");
  if (result) *result = r;
  return f.s.log;
}

std::wstring Section(const std::wstring& body, bool ok = true) {
  return L"FileScan::\r\n" + body + L"\r\nFileScan::" +
         (ok ? L" directive completed successfully.\r\n" : L" directive failed to complete successfully.\r\n") +
         L"\r\n\r\n\r\n\r\n";
}

void AddStoreCopy(FakeSession& f, const std::string& bytes = "abc") {
  f.w.AddFile(kStore, bytes);
  f.w.security().LinkFile(kStore, kSystem);
  f.w.SetFileVersion(kStore, {10, 0, 19041, 1});
  f.w.AddFile(kManifest, Win7Manifest("foo.dll", kAbc));
}

const std::wstring kLinks = L"[0: 2] " + kSystem + L"\r\n[0: 2] " + kStore + L"\r\n";
std::wstring Compared(const std::wstring& expected, const std::wstring& found) {
  return L" Expected: " + expected + L" Found: " + found + L"\r\n";
}
const std::wstring kVersions = Compared(L"10.0.19041.1", L"10.0.19041.1");
const std::wstring kAllMatch = Compared(kAbcW, kAbcW) + kVersions;
const std::wstring kTraced = L" [" + kComponent + L"]\r\n    Successfully traced component " + kComponent +
                             L".\r\n        p!Package_1";

TEST(FileScan, StoreCopyComparedWithItsManifest) {
  const struct {
    const char* what;
    std::function<void(FakeSession&)> change;
    std::wstring compared;
  } rows[] = {
      {"all match", [](FakeSession&) {}, kAllMatch},
      {"other bytes", [](FakeSession& f) { f.w.MutableNode(kStore)->bytes = "abd"; },
       Compared(kAbcW, L"pS0VnyYrLG3bckphhAvvw26zDIiHekAwtly+himESck=") + kVersions},
      {"manifest missing", [](FakeSession& f) { f.w.platform().fs.DeleteFile(kManifest); },
       L"Manifest file is missing.\r\n"},
      {"manifest compressed", [](FakeSession& f) { f.w.MutableNode(kManifest)->bytes.insert(0, "DCM\x01"); },
       Compared(L"UNKNOWN", kAbcW) + kVersions},
      {"hash not readable", [](FakeSession& f) { f.w.InjectFault(Op::kHashFile, L"foo.dll", 32); },
       Compared(kAbcW, L"Hash not available.") + kVersions},
      {"no version resource", [](FakeSession& f) { f.w.InjectFault(Op::kSystemFact, L"FileVersion", 1813); },
       Compared(kAbcW, kAbcW) + Compared(L"10.0.19041.1", L"Version number not available.")},
  };
  for (const auto& r : rows) {
    FakeSession f;
    AddStoreCopy(f);
    r.change(f);
    EXPECT_EQ(Scan(f, L"foo.dll"), Section(kLinks + r.compared + kTraced)) << r.what;
  }
}

TEST(FileScan, EveryCopyListedUntraceableAndDeletedMarkedAndTraceNotAvailable) {
  FakeSession f;
  AddStoreCopy(f);
  const std::wstring expected = kLinks + kAllMatch + L" [" + kComponent + L"]\r\n    Trace not available.\r\n\r\n";
  EXPECT_EQ(Scan(f, L"foo.dll", nullptr), Section(Trim(expected))) << "not built";
  EXPECT_EQ(Ran(FileScanDirective, f, {L"foo.dll"}), expected) << "no table running";
  EXPECT_FALSE(f.s.runDirective) << "the table is let go when the dispatch ends";

  f.w.AddFile(L"C:\\Data\\FOO.DLL", "x");   // the name in another case
  f.w.AddFile(L"C:\\Temp\\foo.dll", "x");   // delete pending
  f.w.security().MarkDeletePending(L"C:\\Temp\\foo.dll");
  f.w.AddFolder(L"C:\\Dir\\foo.dll");       // folders never match
  f.w.AddFile(L"C:\\Data\\foo.dl", "x");    // nor other names
  f.w.AddFile(L"D:\\foo.dll", "x");         // nor other drives
  const std::wstring store = L"[2: 2] " + kSystem + L"\r\n[2: 2] " + kStore + L"\r\n" + kAllMatch;
  EXPECT_EQ(Scan(f, L"bar.dll\r\n\"foo.dll\""),
            Section(L"[0: 1] C:\\Data\\FOO.DLL\r\nFile is untraceable.\r\n"
                    L"[1: 1] C:\\Temp\\foo.dll **DELETED**\r\nFile is untraceable.\r\n" + store + kTraced));
}

TEST(FileScan, IncompleteScansWarn) {
  const std::wstring further = L"WARNING: There may be further unlisted copies of some of these files on the system.";
  FakeSession f;
  f.w.AddFile(L"C:\\a\\a.dll", "x");
  f.w.AddFile(L"C:\\b\\a.dll", "x");
  f.w.InjectFault(Op::kVolumeScan, L"C:\\b", 1784);
  RunResult result;
  EXPECT_EQ(Scan(f, L"a.dll", TraceStandIn, &result),
            Section(L"WARNING: The scan of drive C: stopped with error code 0x6F8.\r\n" + further +
                        L"\r\n\r\n[0: 1] C:\\a\\a.dll\r\nFile is untraceable.",
                    false));
  EXPECT_EQ(result, RunResult::kFailed);

  // A file whose links cannot be listed is left out; the rest goes on.
  f.w.InjectFault(Op::kHardLinks, L"", 5);
  EXPECT_EQ(Scan(f, L"a.dll", TraceStandIn, &result),
            Section(further + L"\r\n\r\n[0: 1] C:\\b\\a.dll\r\nFile is untraceable."));
  EXPECT_EQ(result, RunResult::kSucceeded);

  // A drive line is no file name.
  EXPECT_EQ(Scan(f, L"[DRIVE:C]", TraceStandIn, &result),
            Section(L"No file names were entered under this directive.", false));
}

// One USN_RECORD_V2 as the file table's enumeration returns it.
std::string UsnRecord(uint64_t id, uint32_t attributes, const std::wstring& name, uint32_t length = 0,
                      uint16_t nameOffset = 60, uint16_t version = 2) {
  std::string utf16 = ToUtf16Le(name);
  const size_t size = length ? length : (60 + utf16.size() + 7) / 8 * 8;
  // The header is written whole and then cut to the length claimed, which
  // may be shorter than the header itself.
  std::string r(std::max<size_t>(size, 60), '\0');
  auto put = [&r](size_t at, auto v) { std::memcpy(&r[at], &v, sizeof v); };
  put(0, static_cast<uint32_t>(size));
  put(4, version);
  put(8, id);
  put(52, attributes);
  put(56, static_cast<uint16_t>(utf16.size()));
  put(58, nameOffset);
  if (nameOffset + utf16.size() <= r.size()) r.replace(nameOffset, utf16.size(), utf16);
  r.resize(size);
  return r;
}

TEST(UsnBatch, RecordsReadWithinTheirBounds) {
  const std::string next("\x07\0\0\0\0\0\0\0", 8);
  const std::string a = UsnRecord(0x1000000000005, 0x20, L"a.dll"), dir = UsnRecord(9, 0x10, L"Folder");
  std::string overlong = UsnRecord(3, 0x20, L"b.dll");
  overlong[0] = '\x50';  // 80 bytes claimed, 72 there
  std::string huge = UsnRecord(3, 0x20, L"b.dll");
  std::memset(&huge[0], 0xFF, 3);  // a length that wraps a 32-bit offset
  huge[0] = '\xF8';
  // What a record read gives: its name, file ID and attributes.
  const std::wstring aRead = L"a.dll@281474976710661:32";
  const struct {
    const char* what;
    std::string bytes;
    bool ok;
    std::vector<std::wstring> names;
  } rows[] = {
      {"two records", next + a + dir, true, {aRead, L"Folder@9:16"}},
      {"start reference only", next, true, {}},
      {"too short for the reference", next.substr(0, 7), false, {}},
      {"a cut record", next + a + dir.substr(0, 40), false, {}},
      {"length past the end", next + overlong, false, {}},
      {"length wrapping the offset", next + huge, false, {}},
      {"unaligned length", next + UsnRecord(3, 0, L"b.dll", 66), false, {}},
      {"length shorter than the header", next + UsnRecord(3, 0, L"", 56), false, {}},
      {"name inside the header is skipped", next + UsnRecord(3, 0, L"b.dll", 0, 8) + a, true, {aRead}},
      {"name past its record is skipped", next + UsnRecord(3, 0, L"b.dll", 64, 60 + 8) + a, true, {aRead}},
      {"version 3 is skipped", next + UsnRecord(3, 0, L"b.dll", 0, 60, 3) + a, true, {aRead}},
  };
  for (const auto& r : rows) {
    platform::usn::Batch batch;
    EXPECT_EQ(platform::usn::ParseBatch(reinterpret_cast<const unsigned char*>(r.bytes.data()), r.bytes.size(), batch),
              r.ok)
        << r.what;
    if (!r.ok) continue;
    EXPECT_EQ(batch.next, 7u) << r.what;
    std::vector<std::wstring> names;
    for (auto& rec : batch.records)
      names.push_back(rec.name + L"@" + std::to_wstring(rec.fileId) + L":" + std::to_wstring(rec.attributes));
    EXPECT_EQ(names, r.names) << r.what;
  }
}

}  // namespace
}  // namespace corvex
