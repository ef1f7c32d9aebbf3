#include "analysis/corrupt_file.h"

#include "base/path.h"
#include "base/text.h"
#include "core/system_facts.h"
#include "script/file_hash.h"
#include "script/manifest_digest.h"

namespace corvex {

namespace {

CorruptPathIndex& PathIndex(Session& s) {
  auto& list = s.analysis.corruptFiles;
  auto& index = s.analysis.corruptPathIndex;
  if (!index || index->count != list.size() || (!list.empty() && index->last != list.back().storePath)) {
    index = std::make_shared<CorruptPathIndex>();
    for (auto& r : list) index->paths.insert(ToLower(r.storePath));
    index->count = list.size();
    if (!list.empty()) index->last = list.back().storePath;
  }
  return *index;
}

}  // namespace

bool RegisterCorruptFile(Session& s, const std::wstring& directory, const std::wstring& file) {
  const std::wstring store = SystemRoot(s) + L"\\winsxs\\";
  CorruptFileRecord record;
  record.storePath = store + directory + L"\\" + file;
  CorruptPathIndex& index = PathIndex(s);
  if (index.paths.count(ToLower(record.storePath))) return false;
  auto expected = ReadManifestDigest(s, store + L"Manifests\\" + directory + L".manifest", file);
  record.expectedDigest = expected.ok() ? *expected : std::wstring(kUnknownDigest);
  // A file that cannot be hashed (missing, locked) has no digest, which no
  // manifest digest equals.
  record.actualDigest = HexToBase64(HashFile(s, AddLongPathPrefix(record.storePath)));
  if (record.actualDigest == record.expectedDigest) return false;
  s.analysis.counters.cbsDetected += 1;
  s.analysis.corruptFiles.push_back(record);
  index.paths.insert(ToLower(record.storePath));
  index.count = s.analysis.corruptFiles.size();
  index.last = record.storePath;
  return true;
}

}  // namespace corvex
