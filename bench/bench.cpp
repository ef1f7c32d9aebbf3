// Timings that scripts/bench.sh reports: datablocks captured through
// CreateDataBlocks:: against the fake Windows, and zip extraction onto real
// disk through a POSIX-backed file system (natively, so that it can be put
// beside unzip on the same disk; the win32 build under Wine would time
// Wine's file layer as much as ours).
//
//   corvex_bench datablocks N...         "N wall-seconds cpu-seconds" for each N
//   corvex_bench print-delete N          PrintDataBlocks:: and DeleteDataBlocks:: over N records
//   corvex_bench zip ARCHIVE FOLDER      extracts, for the caller to time
//   corvex_bench cbs LOG                 reads a CBS log through the real disk:
//                                        "bytes seconds records sfc-found peak-kB"
//   corvex_bench records N...            analyses N SFC records against a
//                                        30,000-key COMPONENTS tree: "N seconds"
//   corvex_bench schema N PERCENT        checks N generated component keys
//                                        against the store schema, PERCENT of
//                                        them with an f! name that fails at its
//                                        end: "N seconds keys-per-second"
//   corvex_bench scan N                  the whole registry flash scan over N
//                                        component keys against an N-line
//                                        database (every other key differs):
//                                        "N seconds submitted peak-kB"
//   corvex_bench packages MSU WORKERS    ExtractPackage of the package (read
//                                        from the real disk into the fake) with
//                                        WORKERS workers: "files wall-seconds
//                                        cpu-seconds peak-kB"
//   corvex_bench cores                   the same busy loop twice in one thread,
//                                        then once in each of two: "seconds
//                                        seconds gain" (2 on two idle cores)
#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "analysis/log_analysis.h"
#include "analysis/package_extraction.h"
#include "base/text.h"
#include "platform/fake/fake_registry.h"
#include "core/session.h"
#include "fs/datablock_count.h"
#include "fs/datablock_directives.h"
#include "platform/fake/fake_windows.h"
#include "posix_filesystem.h"
#include "core/working_folders.h"
#include "registry/flash_scan.h"
#include "registry/store_schema.h"
#include "script/zip_reader.h"

namespace corvex {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

Lines Files(fake::FakeWindows& w, size_t n) {
  Lines lines;
  for (size_t i = 0; i < n; ++i) {
    std::wstring path = L"C:\\Users\\Tester\\files\\file" + Decimal(i) + L".txt";
    w.AddFile(path, "x");
    lines.push_back(path);
  }
  return lines;
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "bench: %s\n", what.c_str());
  return 1;
}

bool CheckCount(Session& s, size_t n) {
  auto count = CountStoredDataBlocks(s);
  return count.ok() && *count == n;
}

int DataBlocks(int argc, char** argv) {
  for (int i = 2; i < argc; ++i) {
    size_t n = std::strtoul(argv[i], nullptr, 10);
    fake::FakeWindows w;
    Session s{w.platform()};
    Lines lines = Files(w, n);
    std::wstring report;
    auto start = Clock::now();
    std::clock_t cpuStart = std::clock();
    bool ok = CreateDataBlocksDirective(s, lines, L"", report);
    double took = Seconds(start);
    double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    if (!ok || !CheckCount(s, n)) return Fail("CreateDataBlocks:: failed: " + ToUtf8(report.substr(0, 300)));
    // Wall time, then processor time: on a busy machine the second says
    // what the code itself costs.
    std::printf("%zu %.3f %.3f\n", n, took, cpu);
  }
  return 0;
}

int PrintDelete(size_t n) {
  fake::FakeWindows w;
  Session s{w.platform()};
  Lines lines = Files(w, n);
  std::wstring report;
  if (!CreateDataBlocksDirective(s, lines, L"", report)) return Fail("could not fill the store");
  report.clear();
  auto start = Clock::now();
  bool printed = PrintDataBlocksDirective(s, lines, L"", report);
  double print = Seconds(start);
  report.clear();
  start = Clock::now();
  bool deleted = DeleteDataBlocksDirective(s, lines, L"", report);
  double remove = Seconds(start);
  if (!printed || !deleted || !CheckCount(s, 0)) return Fail("PrintDataBlocks:: or DeleteDataBlocks:: failed");
  std::printf("print %zu records: %.3f s; delete: %.3f s\n", n, print, remove);
  return 0;
}

int Zip(const char* archive, const char* folder) {
  bench::PosixFileSystem fs;
  std::wstring error = ExtractZip(fs, FromUtf8(archive), FromUtf8(folder));
  if (!error.empty()) return Fail(ToUtf8(error));
  return 0;
}

long PeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The log streamed from the real disk, as CBS.log is read on Windows.
int Cbs(const char* log) {
  fake::FakeWindows w;
  bench::PosixFileSystem disk;
  platform::Platform& f = w.platform();
  platform::Platform os{f.console, f.env,      disk,     f.processes, f.system, f.hasher,
                        f.security, f.registry, f.http, f.crash,     f.shadows, f.compression, f.packages,
                        f.signatures};
  Session s{os};
  const std::wstring path = FromUtf8(log);
  auto start = Clock::now();
  std::vector<CbsRecord> records;
  ReadCbsLog(s, path, cbs_kind::kMemberFile | cbs_kind::kComponent | cbs_kind::kCsiError, records);
  double took = Seconds(start);
  auto found = LogHasSfcResults(s, path);
  if (!found.ok() || !s.analysis.notExamined.empty()) return Fail("the log could not be read");
  auto file = disk.Open(path, platform::access::kRead, platform::share::kAll, platform::Disposition::kOpenExisting);
  auto size = file.ok() ? (*file)->Size() : platform::Result<uint64_t>(platform::Error{file.code()});
  std::printf("%llu %.3f %zu %d %ld\n", static_cast<unsigned long long>(size.value_or(0)), took, records.size(),
              *found ? 1 : 0, PeakKilobytes());
  return 0;
}

// A COMPONENTS tree of 30,000 keys; each of N records names one of them,
// whose store file differs from its manifest.
int Records(int argc, char** argv) {
  for (int i = 2; i < argc; ++i) {
    const size_t n = std::strtoul(argv[i], nullptr, 10);
    fake::FakeWindows w;
    Session s{w.platform()};
    const std::wstring components = L"HKEY_LOCAL_MACHINE\\COMPONENTS\\DerivedData\\Components\\";
    std::vector<std::wstring> texts;
    for (size_t k = 0; k < 30000; ++k) {
      const std::wstring name = L"Microsoft-Windows-Part" + Decimal(k);
      wchar_t hash[17];
      std::swprintf(hash, 17, L"%016zx", k);
      const std::wstring key = L"amd64_" + ToLower(name) + L"_31bf3856ad364e35_10.0.19041.1_none_" + hash;
      w.registry().AddKey(components + key);
      w.registry().SetValue(components + key, L"identity", platform::regtype::kBinary,
                            ToUtf8(name + L", Culture=neutral, Version=10.0.19041.1, PublicKeyToken=31bf3856ad364e35, "
                                          L"ProcessorArchitecture=amd64, versionScope=NonSxS"));
      w.registry().SetValue(components + key, L"f!part.dll", platform::regtype::kBinary, std::string(20, 'x'));
      if (k >= n) continue;
      w.AddFile(L"C:\\Windows\\WinSxS\\" + key + L"\\part.dll", "damaged");
      w.AddFile(L"C:\\Windows\\WinSxS\\Manifests\\" + key + L".manifest",
                "<assembly><file name=\"part.dll\"><asmv2:hash><dsig:DigestValue>"
                "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=</dsig:DigestValue></asmv2:hash></file></assembly>");
      texts.push_back(L"Cannot repair member file [l:8]'part.dll' of " + name +
                      L", version 10.0.19041.1, arch amd64, nonSxS, pkt {l:8 b:31bf3856ad364e35} in the store, "
                      L"hash mismatch");
    }
    std::wstring log;
    std::clock_t cpuStart = std::clock();
    for (auto& t : texts) AnalyseSfcResult(s, t, log);
    double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    if (s.analysis.corruptFiles.size() != n) return Fail("not every record found its store file");
    std::printf("%zu %.3f\n", n, cpu);
  }
  return 0;
}

// Component keys as Windows keeps them: identity, hash, catalog mark,
// closure flags and 4 to 11 file values (8 to 15 values a key).
int Schema(size_t n, size_t percent) {
  fake::FakeWindows w;
  Session s{w.platform()};
  const std::wstring tree = L"COMPONENTS\\DerivedData\\Components\\";
  std::vector<std::wstring> keys;
  size_t failing = 0;
  for (size_t k = 0; k < n; ++k) {
    wchar_t hash[17];
    std::swprintf(hash, 17, L"%016zx", k * 2654435761u);
    const std::wstring part = L"microsoft-windows-part" + Decimal(k % 997);
    const std::wstring key = tree + L"amd64_" + part + L"_31bf3856ad364e35_10.0.19041." + Decimal(k % 5000) +
                             L"_none_" + hash;
    const std::wstring path = L"HKLM\\" + key;
    auto& reg = w.registry();
    reg.SetValue(path, L"identity", platform::regtype::kBinary,
                 ToUtf8(part + L", Culture=neutral, Version=10.0.19041.1, PublicKeyToken=31bf3856ad364e35, "
                               L"ProcessorArchitecture=amd64, versionScope=NonSxS"));
    reg.SetValue(path, L"S256H", platform::regtype::kBinary, std::string(32, '\x5a'));
    reg.SetValue(path, L"c!" + part.substr(0, 24) + L"_31bf3856ad364e35_10.0.19041.1_" + hash,
                 platform::regtype::kBinary, "");
    reg.SetDword(path, L"CF", 2);
    const size_t files = 4 + k % 8;
    for (size_t f = 0; f < files; ++f) {
      std::wstring name = L"f!" + part + L"_file" + Decimal(f) + L".dll";
      // Fails only at its last character.
      if (f == files - 1 && k % 100 < percent) {
        name = L"f!" + part + L"_" + part + L".resources_" + part + L".mui!";
        ++failing;
      }
      reg.SetValue(path, name, platform::regtype::kBinary, ToUtf8(L"part" + Decimal(f) + L".dll"));
    }
    keys.push_back(key);
  }
  ValidateKeyAgainstSchema(s, platform::RegistryKey(), L"warm-up", kSchemaComponents);
  size_t conforming = 0, unknown = 0;
  std::clock_t cpuStart = std::clock();
  for (const std::wstring& key : keys) {
    auto open = s.os.registry.OpenKey(platform::RootKey::kLocalMachine, key, 0x109);
    if (!open.ok()) return Fail("a generated key does not open");
    uint32_t code = ValidateKeyAgainstSchema(s, *open, key, kSchemaComponents);
    conforming += code == schema::kConforms;
    unknown += code == schema::kUnknownValue;
  }
  double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  if (conforming != n - failing || unknown != failing) return Fail("a generated key was judged wrongly");
  std::printf("%zu %.3f %.0f\n", n, cpu, static_cast<double>(n) / cpu);
  return 0;
}

// No network: the server has no newer database, uploads are not made.
class OfflineServices : public FlashScanServices {
 public:
  explicit OfflineServices(fake::FakeWindows& w) : w_(w) {}
  std::wstring DatabaseServerUrl(const std::wstring& path) override { return L"https://bench" + path; }
  bool IsAcceptableDownload(const std::wstring&) override { return false; }
  uint32_t Download(const std::wstring&, const std::wstring& target) override {
    w_.AddFile(target, "No Update Available");
    return 0;
  }
  bool DownloadWithProgress(const std::wstring&, const std::wstring&, const std::wstring&) override { return false; }
  std::wstring Extract7z(const std::wstring&, const std::wstring&) override { return L"offline"; }
  uint32_t AddToZip(const std::wstring&, const std::wstring&) override { return 0; }
  bool Submit(const std::wstring&, std::wstring&) override { return true; }
  wchar_t AskConsent(const std::wstring&) override { return L'y'; }
  void ClearConsole() override {}

 private:
  fake::FakeWindows& w_;
};

int Scan(size_t n) {
  fake::FakeWindows w;
  Session s{w.platform()};
  auto& reg = w.registry();
  std::string database;
  for (size_t k = 0; k < n; ++k) {
    wchar_t hash[17];
    std::swprintf(hash, 17, L"%016zx", k * 2654435761u);
    const std::wstring name = L"amd64_microsoft-windows-part" + Decimal(k % 997) + L"_31bf3856ad364e35_10.0." +
                              Decimal(k) + L"_none_" + hash;
    const std::wstring path = L"HKLM\\COMPONENTS\\DerivedData\\Components\\" + name;
    reg.SetValue(path, L"identity", platform::regtype::kBinary, "part, Culture=neutral");
    reg.SetValue(path, L"S256H", platform::regtype::kBinary, std::string(32, '\x5a'));
    reg.SetValue(path, L"c!part_31bf3856ad364e35_10.0.1.1_" + std::wstring(hash), platform::regtype::kBinary, "");
    std::wstring line = name + L"[-]part, Culture=neutral[-]" +
                        std::wstring(k % 2 ? L"00" : L"5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a") +
                        L"[-]c!part_31bf3856ad364e35_10.0.1.1_" + hash;
    for (size_t f = 0; f < 6; ++f) {
      const std::wstring file = L"f!part" + Decimal(f) + L".dll";
      reg.SetValue(path, file, platform::regtype::kBinary, ToUtf8(L"part" + Decimal(f) + L".dll"));
      line += L"[-]" + file + L"|part" + Decimal(f) + L".dll|3|9";
    }
    database += ToUtf8(line) + "\r\n";
  }
  const std::wstring work = L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\";
  w.AddFile(work + L"WindowsUpdateRegistryDatabase\\components.txt", database);
  w.AddFile(work + L"RegistryDatabaseApprovalReceived", "");
  w.AddFolder(work + L"Temp");
  OfflineServices services(w);
  std::clock_t cpuStart = std::clock();
  RunRegistryFlashScan(s, services);
  double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  std::string submitted = w.FileBytes(work + L"WindowsUpdateRegistryDatabase\\PendingSubmission\\components.txt");
  size_t lines = 0;
  for (char c : submitted) lines += c == '\n';
  if (lines != n / 2) return Fail("the scan submitted " + std::to_string(lines) + " keys, not every other one");
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%zu %.3f %zu %ld\n", n, cpu, lines, usage.ru_maxrss);
  return 0;
}

// The package is unpacked in the fake's memory: real MSZIP decompression
// by libmspack per entry, the fake's file system (one lock) for the writes.
int Packages(const char* msu, int workers) {
  std::string bytes;
  {
    std::ifstream in(msu, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (bytes.empty()) return Fail("cannot read the package");
  fake::FakeWindows w;
  Session s(w.platform());
  const std::wstring package = L"C:\\Downloads\\bench.msu";
  w.AddFile(package, bytes);
  std::string().swap(bytes);
  ExtractionOptions o;
  o.workers = workers;
  std::clock_t cpu0 = std::clock();
  auto t0 = Clock::now();
  ExtractionResult r = ExtractPackage(s, package, L"C:\\Out", o);
  double took = Seconds(t0);
  double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
  if (!r.complete) return Fail("extraction incomplete: " + (r.messages.empty() ? std::string() : ToUtf8(r.messages[0])));
  size_t files = 0;
  for (const std::wstring& path : w.ListTree(r.folder))
    if (!w.IsFolder(path)) files++;
  std::printf("%zu %.3f %.3f %ld\n", files, took, cpu, PeakKilobytes());
  return 0;
}

// On a machine shared with others a scaling figure means little unless two
// busy threads still gain close to 2x at the time.
int Cores() {
  auto burn = [] {
    volatile uint64_t sum = 0;
    for (uint64_t i = 0; i < 150000000; ++i) sum = sum + i;
  };
  auto t0 = Clock::now();
  burn();
  burn();
  double one = Seconds(t0);
  t0 = Clock::now();
  std::thread a(burn), b(burn);
  a.join();
  b.join();
  double two = Seconds(t0);
  std::printf("%.3f %.3f %.2f\n", one, two, one / two);
  return 0;
}

}  // namespace
}  // namespace corvex

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "datablocks" && argc > 2) return corvex::DataBlocks(argc, argv);
  if (mode == "print-delete" && argc == 3) return corvex::PrintDelete(std::strtoul(argv[2], nullptr, 10));
  if (mode == "zip" && argc == 4) return corvex::Zip(argv[2], argv[3]);
  if (mode == "cbs" && argc == 3) return corvex::Cbs(argv[2]);
  if (mode == "records" && argc > 2) return corvex::Records(argc, argv);
  if (mode == "schema" && argc == 4)
    return corvex::Schema(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10));
  if (mode == "scan" && argc == 3) return corvex::Scan(std::strtoul(argv[2], nullptr, 10));
  if (mode == "packages" && argc == 4) return corvex::Packages(argv[2], std::atoi(argv[3]));
  if (mode == "cores" && argc == 2) return corvex::Cores();
  std::fprintf(stderr, "usage: corvex_bench datablocks N... | print-delete N | zip ARCHIVE FOLDER | cbs LOG | records N... | schema N PERCENT | scan N | packages MSU WORKERS | cores\n");
  return 2;
}
