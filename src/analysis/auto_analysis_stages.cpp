// The repair stages: each looks for good copies of the corrupt store files
// in one place and queues a PowerCopy:: line for every file it finds.
#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "analysis/auto_analysis.h"
#include "analysis/package_stages.h"
#include "base/path.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "script/dispatcher.h"
#include "script/file_hash.h"

namespace corvex {

std::wstring FileDigest(Session& s, const std::wstring& path) {
  const std::wstring hex = HashFile(s, AddLongPathPrefix(path));
  return hex.empty() ? hex : HexToBase64(hex);
}

std::wstring ComponentFolder(const std::wstring& storePath) {
  const size_t slash = storePath.rfind(L'\\');
  return slash == std::wstring::npos || slash == 0 ? L"" : PathLeafName(storePath.substr(0, slash));
}

bool StageVerifiedCopy(Session& s, const std::wstring& stage, const std::wstring& subfolder,
                       const std::wstring& candidate, const CorruptFileRecord& r, std::wstring& staged) {
  const std::wstring component = ComponentFolder(r.storePath);
  const std::wstring folder = TempFolder(s) + L"\\" + subfolder + (component.empty() ? L"" : L"\\" + component);
  staged = folder + L"\\" + PathLeafName(r.storePath);
  auto made = CreateFolderChain(s, folder);
  auto copied = made.ok() ? s.os.fs.CopyFile(AddLongPathPrefix(candidate), AddLongPathPrefix(staged), false) : made;
  if (!copied.ok()) {
    TraceErrorCode(s, copied.code(), stage + L": failed to copy " + StripLongPathPrefix(candidate) + L" to " + staged +
                                         L" with error code ");
    return false;
  }
  if (FileDigest(s, staged) == r.expectedDigest) return true;
  s.os.fs.DeleteFile(AddLongPathPrefix(staged));
  return false;
}

namespace {

constexpr wchar_t kShadowCopyRoot[] = L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy";

// A replacement waiting for PowerCopy::.
struct Queued {
  CorruptFileRecord record;
  std::wstring source;
};

struct StageRun {
  Session& s;
  std::vector<Queued> queued;

  std::vector<CorruptFileRecord>& records() { return s.analysis.corruptFiles; }

  // Queues `source` for the record at `index` and takes the record off the
  // corrupt file list.
  void Take(size_t index, const std::wstring& source) {
    queued.push_back({records()[index], source});
    records().erase(records().begin() + static_cast<std::ptrdiff_t>(index));
  }

  // The first record whose manifest digest `source` has; `readAs` is the
  // path the file is read through when that differs (Sysnative).
  void MatchAny(const std::wstring& source, const std::wstring& readAs = L"") {
    const std::wstring digest = FileDigest(s, readAs.empty() ? source : readAs);
    if (digest.empty()) return;
    for (size_t i = 0; i < records().size(); ++i)
      if (records()[i].expectedDigest == digest) {
        Take(i, source);
        return;
      }
  }
};

void ArchiveStage(StageRun& run) {
  Session& s = run.s;
  Print(s, L"\nStage 2 ");
  const std::wstring archive = ArchiveFolder(s);
  auto attributes = s.os.fs.GetAttributes(AddLongPathPrefix(archive));
  if (!attributes.ok() || !(*attributes & platform::attr::kDirectory)) return;
  for (const std::wstring& file : ListFiles(s, archive, L"*.*", true)) {
    if (run.records().empty()) return;
    run.MatchAny(file);
  }
}

// Every copy on the fixed drives C to Y of a file named like a record's.
void FixedVolumeStage(StageRun& run) {
  Session& s = run.s;
  char label = 'a';
  for (wchar_t drive = L'C'; drive <= L'Y' && !run.records().empty(); ++drive) {
    if (s.os.system.DriveType(drive) != platform::DriveKind::kFixed) continue;
    Print(s, std::wstring(L"\nStage 4") + static_cast<wchar_t>(label++) + L" ");
    std::map<size_t, std::vector<std::wstring>> byLength;
    for (const CorruptFileRecord& r : run.records()) {
      const std::wstring leaf = PathLeafName(r.storePath);
      byLength[leaf.size()].push_back(leaf);
    }
    std::vector<uint64_t> ids;
    std::set<uint64_t> seen;
    auto scanned = s.os.security.ScanVolume(drive, [&](const platform::VolumeRecord& v) {
      if (v.attributes & platform::attr::kDirectory) return;
      auto same = byLength.find(v.name.size());
      if (same == byLength.end()) return;
      for (const std::wstring& n : same->second)
        if (IEquals(n, v.name) && seen.insert(v.fileId).second) {
          ids.push_back(v.fileId);
          return;
        }
    });
    if (!scanned.ok())
      TraceErrorCode(s, scanned.code(), L"Stage 4: the scan of drive " + std::wstring(1, drive) +
                                            L": stopped with error code ");
    for (uint64_t id : ids) {
      if (run.records().empty()) return;
      auto links = s.os.security.HardLinksOfFileId(drive, id);
      if (!links.ok() || links->paths.empty()) {
        TraceErrorCode(s, links.ok() ? 2 : links.code(),
                       L"Stage 4: failed to name file ID " + Decimal(id) + L" with error code ");
        continue;
      }
      run.MatchAny(links->paths.front(), MapSystem32Path(s, links->paths.front()));
    }
  }
}

// Every shadow copy that exists may hold a good copy of every record.
void ShadowCopyStage(StageRun& run) {
  Session& s = run.s;
  Print(s, L"\nStage 5 ");
  auto numbers = s.os.system.ShadowCopyNumbers();
  if (!numbers.ok()) {
    TraceErrorCode(s, numbers.code(), L"Stage 5: failed to list the shadow copies with error code ");
    return;
  }
  for (uint32_t n : *numbers) {
    const std::wstring root = kShadowCopyRoot + Decimal(n);
    for (size_t i = 0; i < run.records().size();) {
      const CorruptFileRecord& r = run.records()[i];
      if (r.storePath.size() < 3) {
        ++i;
        continue;
      }
      const std::wstring candidate = root + L"\\" + r.storePath.substr(3);
      const std::wstring digest = FileDigest(s, candidate);
      std::wstring staged;
      if (!digest.empty() && digest == r.expectedDigest && StageVerifiedCopy(s, L"Stage 5", L"ShadowCopy" + Decimal(n), candidate, r, staged))
        run.Take(i, staged);
      else
        ++i;
    }
  }
}

// Stages 3 and 6 to 8 fetch update packages and install images.
void Skipped(Session& s, const std::wstring& title, const std::wstring& why, size_t remaining) {
  TraceInfo(s, title + L": " + why + L"; " + Decimal(remaining) + L" corrupt files remain for the next stages.");
}

void TakeStaged(StageRun& run, std::vector<StagedReplacement> staged) {
  // Highest index first: each Take erases its record.
  std::sort(staged.begin(), staged.end(),
            [](const StagedReplacement& a, const StagedReplacement& b) { return a.record > b.record; });
  for (const StagedReplacement& r : staged) run.Take(r.record, r.path);
}

void SourcingStage(StageRun& run, wchar_t stage) {
  Session& s = run.s;
  const std::wstring title = L"Stage " + std::wstring(1, stage);
  Print(s, L"\n" + title + L" ");
  if (stage == L'7') {
    TakeStaged(run, SourceFromInstallImages(s, run.records(), ImageDrives::kLocal));
  } else if (stage == L'8') {
    AskForInstallationDvd(s);
    TakeStaged(run, SourceFromInstallImages(s, run.records(), ImageDrives::kInserted));
  } else if (!s.downloads) {
    Skipped(s, title, L"downloads are not available in this run", run.records().size());
  } else {
    const auto mode = stage == L'3' ? UpdateDatabaseMode::kPayload : UpdateDatabaseMode::kManifest;
    TakeStaged(run, SourceFromUpdatePackages(s, *s.downloads, run.records(), mode, stage));
  }
}

// PowerCopy:: over the queued lines; a record counts as fixed once its
// store file has the manifest's digest, otherwise it is corrupt again.
void CopyStage(StageRun& run, const std::wstring& archive, std::wstring& log) {
  Session& s = run.s;
  AnalysisState& a = s.analysis;
  if (a.replacements.empty()) a.replacements.push_back(L"[MODE:1]");
  for (const Queued& q : run.queued) a.replacements.push_back(L"\"" + q.source + L"\" " + q.record.storePath);
  if (a.replacements.size() > 1) {
    Print(s, L"\nStage 9 ");
    std::wstring report;
    RunDirective(s, L"PowerCopy::", a.replacements, archive, report);
    log += report;
  }
  a.replacements.assign(1, L"[MODE:1]");
  for (const Queued& q : run.queued) {
    if (FileDigest(s, q.record.storePath) == q.record.expectedDigest) {
      if (q.record.origin > 30)
        ++a.counters.surtFixed;
      else
        ++a.counters.cbsFixed;
    } else {
      a.corruptFiles.push_back(q.record);
    }
  }
}

}  // namespace

void RunRepairStages(Session& s, const std::wstring& archive, std::wstring& log) {
  StageRun run{s, {}};
  ArchiveStage(run);
  const bool sixOne = IsWindowsVersionOrGreater(s, 6, 1);
  if (!run.records().empty()) SourcingStage(run, L'3');
  if (!run.records().empty()) FixedVolumeStage(run);
  if (!run.records().empty()) ShadowCopyStage(run);
  if (!run.records().empty()) SourcingStage(run, L'6');
  if (!run.records().empty() && sixOne) SourcingStage(run, L'7');
  if (!run.records().empty() && sixOne) SourcingStage(run, L'8');
  CopyStage(run, archive, log);

  AnalysisState& a = s.analysis;
  std::wstring notes = Trim(Join(a.placementNotes, L"\n"));
  log += notes + L"\n";
  for (const CorruptFileRecord& r : a.corruptFiles) log += L"CORRUPT: " + r.storePath + L"\r\n";
  log += a.sourcingReport + L"\n\n";
}

}  // namespace corvex
