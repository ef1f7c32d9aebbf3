// Hash records of PostRebootCorruptionDetection:: as a saved script holds
// them after the restart: prepared as the dispatcher prepares every line,
// then checked against the files now in place.
#include "core/text_reader.h"
#include "fs/reboot_directives.h"
#include "fuzz_support.h"
#include "script/dispatcher.h"
#include "script/file_hash.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_hash_records)(const uint8_t* data, size_t size) {
  Fake f;
  const std::wstring placed = L"C:\\Windows\\System32\\placed.dll";
  f.w.AddFile(placed, "replaced at the restart");
  const std::wstring hash = HexToBase64(HashFile(f.s, placed));

  Lines lines;
  for (auto& raw : Split(DecodeText(Bytes(data, size)), L"\n")) {
    std::wstring line = PrepareLine(f.s, raw, L"");
    if (!line.empty()) lines.push_back(line);
  }
  size_t interpretable = 0;
  for (auto& line : lines) {
    auto record = ParseHashRecord(line);
    const std::wstring unquoted = ReplaceAll(line, L"\"", L"");
    FUZZ_CHECK(record.has_value() == (Split(unquoted, L"|").size() == 2), "a record split other than at its one |");
    if (record) {
      ++interpretable;
      FUZZ_CHECK(record->path + L"|" + record->hash == unquoted, "a record that does not give back its line");
    }
  }
  std::wstring report;
  const bool ok = PostRebootCorruptionDetectionDirective(f.s, lines, L"", report);
  FUZZ_CHECK(ok == EndsWith(report, L"No hash verification failures detected."), "result and report disagree");
  FUZZ_CHECK(ok || interpretable < lines.size() || report.find(L"Hash failure for file ") != std::wstring::npos ||
                 report.find(L"File path string is empty") != std::wstring::npos,
             "a failure without its sentence");

  // The file's own hash, as any script line would carry it, always verifies.
  const std::wstring own = PrepareLine(f.s, placed + L"|" + hash, L"");
  std::wstring second;
  FUZZ_CHECK(PostRebootCorruptionDetectionDirective(f.s, {own}, L"", second), "a matching hash refused");
  for (auto& line : lines) {
    auto record = ParseHashRecord(line);
    if (record && !record->hash.empty())
      FUZZ_CHECK(HashMatches(ReplaceAll(record->hash, L"/", L"\\"), ReplaceAll(record->hash, L"\\", L"/")),
                 "a turned slash changed the comparison");
  }
  return 0;
}
