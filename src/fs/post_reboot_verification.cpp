// PostRebootCorruptionDetection:: checks the files moved into place at the
// restart against the hashes of the copies staged for them.
#include "base/path.h"
#include "base/text.h"
#include "fs/reboot_directives.h"
#include "script/file_hash.h"

namespace corvex {

std::optional<HashRecord> ParseHashRecord(const std::wstring& line) {
  auto pieces = Split(ReplaceAll(line, L"\"", L""), L"|");
  if (pieces.size() != 2) return std::nullopt;
  return HashRecord{pieces[0], pieces[1]};
}

bool HashMatches(const std::wstring& stored, const std::wstring& computed) {
  return IEquals(ReplaceAll(stored, L"\\", L"/"), computed);
}

bool PostRebootCorruptionDetectionDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  for (auto& line : lines) {
    auto record = ParseHashRecord(line);
    if (!record) {
      report += L"Failed to interpret line \"" + line + L"\"\r\n";
      ok = false;
      continue;
    }
    const std::wstring path = ReplaceAll(record->path, L"/", L"\\");
    if (path.empty()) {
      report += L"ERROR: An internal error has occured. File path string is empty for line \"" + line + L"\".\r\n";
      ok = false;
      continue;
    }
    if (record->hash.empty()) {
      report += L"WARNING: The file \"" + path +
                L"\" was read locked (i.e. in use) prior to reboot and a hash could not be generated for it. The "
                L"success of the replacement operation cannot be verified for this file.\r\n";
      continue;
    }
    const std::wstring hex = HashFile(s, AddLongPathPrefix(path));
    const std::wstring found = hex.empty() ? L"" : HexToBase64(hex);
    if (!found.empty() && HashMatches(record->hash, found)) continue;
    report += L"Hash failure for file " + path + L".\r\n Expected: " + ReplaceAll(record->hash, L"\\", L"/") +
              L"\r\n Found: " + (found.empty() ? L"Failed to generate hash - file may be in use." : found) +
              L"\r\n\r\n";
    ok = false;
  }
  if (ok) report += L"No hash verification failures detected.";
  return ok;
}

}  // namespace corvex
