// Timings that scripts/bench.sh reports: datablocks captured through
// CreateDataBlocks:: against the fake Windows, and zip extraction onto real
// disk through a POSIX-backed file system (natively, so that it can be put
// beside unzip on the same disk; the win32 build under Wine would time
// Wine's file layer as much as ours).
//
//   corvex_bench datablocks N...         "N wall-seconds cpu-seconds" for each N
//   corvex_bench print-delete N          PrintDataBlocks:: and DeleteDataBlocks:: over N records
//   corvex_bench zip ARCHIVE FOLDER      extracts, for the caller to time
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/text.h"
#include "core/session.h"
#include "fs/datablock_count.h"
#include "fs/datablock_directives.h"
#include "platform/fake/fake_windows.h"
#include "posix_filesystem.h"
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

}  // namespace
}  // namespace corvex

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "datablocks" && argc > 2) return corvex::DataBlocks(argc, argv);
  if (mode == "print-delete" && argc == 3) return corvex::PrintDelete(std::strtoul(argv[2], nullptr, 10));
  if (mode == "zip" && argc == 4) return corvex::Zip(argv[2], argv[3]);
  std::fprintf(stderr, "usage: corvex_bench datablocks N... | print-delete N | zip ARCHIVE FOLDER\n");
  return 2;
}
