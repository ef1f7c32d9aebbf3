#include "analysis/corrupt_file.h"

#include "base/path.h"
#include "base/text.h"
#include "core/system_facts.h"
#include "script/file_hash.h"
#include "script/manifest_digest.h"

namespace corvex {

bool RegisterCorruptFile(Session& s, const std::wstring& directory, const std::wstring& file) {
  const std::wstring store = SystemRoot(s) + L"\\winsxs\\";
  CorruptFileRecord record;
  record.storePath = store + directory + L"\\" + file;
  for (const CorruptFileRecord& r : s.analysis.corruptFiles)
    if (IEquals(r.storePath, record.storePath)) return false;
  auto expected = ReadManifestDigest(s, store + L"Manifests\\" + directory + L".manifest", file);
  record.expectedDigest = expected.ok() ? *expected : std::wstring(kUnknownDigest);
  // A file that cannot be hashed (missing, locked) has no digest, which no
  // manifest digest equals.
  record.actualDigest = HexToBase64(HashFile(s, AddLongPathPrefix(record.storePath)));
  if (record.actualDigest == record.expectedDigest) return false;
  s.analysis.counters.cbsDetected += 1;
  s.analysis.corruptFiles.push_back(record);
  return true;
}

}  // namespace corvex
