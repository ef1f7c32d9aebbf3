#include "analysis/package_stages.h"

#include <map>
#include <set>

#include "analysis/auto_analysis.h"
#include "analysis/delta_expander.h"
#include "analysis/package_extraction.h"
#include "analysis/package_sourcing.h"
#include "analysis/pager.h"
#include "base/path.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"

namespace corvex {

namespace {

// A helper may ship the basis of compressed manifests in the script's
// archive; it is used only when its length and digest are right.
constexpr wchar_t kManifestBasisName[] = L"ManifestBasis.bin";
// More than this many packages for one stage is a database fault, not a
// repair: each may be a download of tens of megabytes.
constexpr size_t kMaxPackages = 16;

// The Windows Update Agent 7.6.7600.320 redistributable on Microsoft's
// download servers, by architecture.
constexpr wchar_t kAgent320X86[] =
    L"https://download.windowsupdate.com/windowsupdate/redist/standalone/7.6.7600.320/WindowsUpdateAgent-7.6-x86.exe";
constexpr wchar_t kAgent320X64[] =
    L"https://download.windowsupdate.com/windowsupdate/redist/standalone/7.6.7600.320/WindowsUpdateAgent-7.6-x64.exe";
// The WSUS 3.0 SP2 update that carries agent 7.6.7600.256.
constexpr wchar_t kAgent256Kb[] = L"2720211";

constexpr wchar_t kInsertDvdText[] =
    L"\n\n                               Insert Windows DVD\n\n\n"
    L"Good copies of some of your corrupt files may be on a Windows installation DVD of the same version as this "
    L"computer's Windows. If you have one, insert it now, close any window that opens for it, and then press any "
    L"key to continue.\n\nTo skip this step, press any key now.  ";

// Stages, for every record not yet found, the first file of `files` with
// its digest.
void MatchFiles(Session& s, const std::wstring& label, const std::vector<std::wstring>& files,
                const std::vector<CorruptFileRecord>& records, std::set<size_t>& found,
                std::vector<StagedReplacement>& out) {
  std::multimap<std::wstring, size_t> wanted;
  for (size_t i = 0; i < records.size(); ++i)
    if (!found.count(i) && records[i].expectedDigest != L"UNKNOWN") wanted.emplace(records[i].expectedDigest, i);
  for (const std::wstring& file : files) {
    if (wanted.empty()) return;
    const std::wstring digest = FileDigest(s, file);
    if (digest.empty()) continue;
    auto [first, last] = wanted.equal_range(digest);
    for (auto it = first; it != last;) {
      std::wstring staged;
      if (StageVerifiedCopy(s, label, label, file, records[it->second], staged)) {
        out.push_back({it->second, staged});
        found.insert(it->second);
        it = wanted.erase(it);
      } else {
        ++it;
      }
    }
  }
}

}  // namespace

std::vector<std::wstring> PackagesForRecords(Session& s, DownloadServices& services,
                                             const std::vector<CorruptFileRecord>& records, UpdateDatabaseMode mode) {
  std::vector<std::wstring> keys;
  for (const CorruptFileRecord& r : records) {
    std::wstring key = mode == UpdateDatabaseMode::kPayload ? r.expectedDigest : ComponentFolder(r.storePath);
    if (!key.empty() && key != L"UNKNOWN") keys.push_back(key);
  }
  std::vector<std::wstring> packages;
  if (keys.empty()) return packages;
  std::set<std::wstring> seen;
  for (const auto& lines : LookUpUpdateDatabase(s, services, keys, mode))
    for (const std::wstring& line : lines) {
      const std::vector<std::wstring> fields = Split(line, L"|");
      if (fields.size() < 3) continue;
      const std::wstring package = Trim(fields[1]);
      if (package.empty() || !seen.insert(ToUpper(package)).second) continue;
      if (packages.size() == kMaxPackages) {
        TraceInfo(s, L"More than " + Decimal(kMaxPackages) + L" packages are named for the corrupt files; the rest "
                                                             L"are not downloaded.");
        return packages;
      }
      packages.push_back(package);
    }
  return packages;
}

std::vector<std::wstring> AgentPackagesForRecords(Session& s, DownloadServices& services,
                                                  const std::vector<CorruptFileRecord>& records) {
  bool agent256 = false;
  bool agent320 = false;
  for (const CorruptFileRecord& r : records) {
    agent256 = agent256 || r.storePath.find(L"7.6.7600.256") != std::wstring::npos;
    agent320 = agent320 || r.storePath.find(L"7.6.7600.320") != std::wstring::npos;
  }
  AnalysisState& a = s.analysis;
  std::vector<std::wstring> packages;
  if (agent256 && !a.agent256PackageAsked) {
    a.agent256PackageAsked = true;
    std::wstring url = RequestUpdateUrl(s, services, kAgent256Kb, L"x86");
    if (!url.empty()) packages.push_back(url);
  }
  if (agent320 && !a.agent320PackageAsked) {
    a.agent320PackageAsked = true;
    const std::wstring architecture = ArchitectureName(s, true);
    if (architecture == L"x86")
      packages.push_back(kAgent320X86);
    else if (architecture == L"x64")
      packages.push_back(kAgent320X64);
    else
      TraceInfo(s, L"The Windows Update Agent 7.6 has no redistributable for " + architecture + L".");
  }
  return packages;
}

std::vector<StagedReplacement> SourceFromUpdatePackages(Session& s, DownloadServices& services,
                                                        const std::vector<CorruptFileRecord>& records,
                                                        UpdateDatabaseMode mode, wchar_t stage) {
  std::vector<StagedReplacement> out;
  std::vector<std::wstring> packages;
  if (stage == L'3') packages = AgentPackagesForRecords(s, services, records);
  for (std::wstring& p : PackagesForRecords(s, services, records, mode)) packages.push_back(std::move(p));
  if (packages.empty()) return out;
  ManifestBasisSource basis;
  basis.path = ArchiveFolder(s) + L"\\" + kManifestBasisName;
  auto extract = [&s, &basis, stage](const std::wstring& package, const std::wstring& outputFolder, bool showProgress) {
    ExtractionOptions options;
    options.showProgress = showProgress;
    options.deltaExpander = [&s, &basis](const std::wstring& arguments) {
      return RunDeltaExpander(s.os, arguments, basis);
    };
    ExtractionResult result = ExtractPackage(s, package, outputFolder, options);
    // What was refused or could not be unpacked goes to the helper too.
    for (const std::wstring& m : result.messages)
      if (StartsWith(Trim(m), L"WARNING: ")) s.analysis.sourcingReport += Trim(m) + L"\r\n";
    if (!result.folder.empty() && !result.complete)
      TraceInfo(s, L"Stage " + std::wstring(1, stage) + L": " + package + L" was not unpacked completely.");
    return result.folder;
  };
  const std::wstring label = std::wstring(L"Stage") + stage;
  std::set<size_t> found;
  for (const std::wstring& folder : DownloadAndExtractPackages(s, services, packages, extract)) {
    MatchFiles(s, label, ListFiles(s, folder, L"*.*", true), records, found, out);
    if (auto removed = RemoveExtraction(s.os.fs, folder); !removed.ok())
      TraceErrorCode(s, removed.code(), L"Failed to remove " + folder + L" with error code ");
  }
  return out;
}

std::vector<StagedReplacement> SourceFromInstallImages(Session& s, const std::vector<CorruptFileRecord>& records,
                                                       ImageDrives drives) {
  using platform::DriveKind;
  const bool local = drives == ImageDrives::kLocal;
  const std::wstring label = local ? L"Stage7" : L"Stage8";
  std::vector<StagedReplacement> out;
  std::set<size_t> found;
  // A DVD drive without its disc would otherwise have Windows ask the user
  // to insert one.
  const uint32_t errorMode = s.os.system.QuietMediaErrors();
  for (wchar_t drive = L'C'; drive <= L'Y' && found.size() < records.size(); ++drive) {
    const DriveKind kind = s.os.system.DriveType(drive);
    const bool wanted = kind == DriveKind::kRemovable ||
                        (local ? kind == DriveKind::kFixed : kind == DriveKind::kCdRom);
    if (!wanted) continue;
    const std::wstring wim = std::wstring(1, drive) + L":\\sources\\install.wim";
    if (!s.os.fs.GetAttributes(AddLongPathPrefix(wim)).ok()) continue;
    TraceInfo(s, std::wstring(local ? L"Stage 7" : L"Stage 8") + L": searching " + wim + L".");
    MountInstallWim(s, wim, [&](const WimImage&, const std::wstring& mount) {
      std::vector<std::wstring> candidates;
      for (size_t i = 0; i < records.size(); ++i)
        if (!found.count(i))
          candidates.push_back(mount + L"\\Windows\\WinSxS\\" + ComponentFolder(records[i].storePath) + L"\\" +
                               PathLeafName(records[i].storePath));
      MatchFiles(s, label, candidates, records, found, out);
      return found.size() == records.size();
    });
  }
  s.os.system.RestoreErrorMode(errorMode);
  return out;
}

void AskForInstallationDvd(Session& s) {
  ClearConsole(s);
  ShowPaged(s, 22, true, L"", kInsertDvdText, L"");
  RedrawFromTranscript(s);
}

}  // namespace corvex
