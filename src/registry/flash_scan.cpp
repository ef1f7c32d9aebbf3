#include "registry/flash_scan.h"

#include <algorithm>

#include "base/text.h"
#include "core/console_output.h"
#include "core/folder_tree.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/text_file.h"
#include "core/text_reader.h"
#include "core/working_folders.h"
#include "registry/registry_access.h"
#include "registry/store_schema.h"

namespace corvex {

namespace keyaccess = platform::keyaccess;
using platform::RootKey;

namespace {

constexpr wchar_t kAlreadyRun[] = L"RegistryDatabaseAlreadyRun";
constexpr wchar_t kApproval[] = L"RegistryDatabaseApprovalReceived";
constexpr wchar_t kVersionFile[] = L"registryDatabaseVersion.txt";
constexpr wchar_t kServerResponse[] = L"registryDatabaseServerResponse.txt";
constexpr wchar_t kArchiveName[] = L"QuillmereWindowsUpdateRegistryDatabase.7z";
constexpr wchar_t kDatabaseFolder[] = L"WindowsUpdateRegistryDatabase";
constexpr uint32_t kWalkAccess = keyaccess::kQueryValue | keyaccess::kEnumerateSubKeys | keyaccess::kWow64_64Key;
constexpr double kGuessedSubKeys = 25000;

constexpr wchar_t kConsentText[] =
    L"Will you allow Corvex to communicate with Quillmere servers?\n\nMost file system and registry corruptions "
    L"cannot be repaired when this tool works standalone. Quillmere's central servers can be used to give "
    L"direction on repairing registry corruptions and finding good replacements for damaged files using "
    L"aggregate data compiled over thousands of computers. Details of your Windows Update configuration may be "
    L"transmitted to our servers for further analysis as part of this process. No personally identifiable "
    L"information will be collected. Although the process is entirely opt-in, if you choose not to accept this "
    L"transmission the tool can operate only in a reduced function mode and the majority of corruptions will "
    L"not be repaired automatically.\n\nWould you like this communication to take place? Type \"y\" for yes or "
    L"\"n\" for no and press enter to continue:  ";

std::wstring InWorking(Session& s, const std::wstring& name) { return WorkingFolder(s) + L"\\" + name; }
std::wstring DatabaseFolder(Session& s) { return InWorking(s, kDatabaseFolder); }

bool Exists(Session& s, const std::wstring& path) { return s.os.fs.GetAttributes(path).ok(); }

std::wstring LocationSentence(int location, uint32_t code, bool warning = false) {
  return std::wstring(warning ? L"WARNING: " : L"") + L"Failed to process registry database in location " +
         Decimal(location) + L" with error code " + Decimal(code) + L".\r\n";
}

// Creates an empty marker file; false when it cannot be made.
bool MakeMarker(Session& s, const std::wstring& name) {
  return WriteWorkingFile(s, name, L"", TextEncoding::kEightBit).ok();
}

std::wstring WindowsVersionForScan(Session& s) {
  std::wstring version = WindowsVersionString(s);
  return version == L"6.3" ? L"6.2" : version;
}

std::wstring BuildText(Session& s) { return IsWindows10OrGreater(s) ? CurrentBuild(s) : L"0"; }

bool AllDigits(const std::wstring& text) {
  return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// A fresh database beside the old one, swapped in only once it is whole;
// the version is written last, so a failure anywhere keeps the old pair.
bool InstallDatabase(Session& s, FlashScanServices& services, const std::wstring& archive,
                     const std::wstring& version) {
  const std::wstring folder = DatabaseFolder(s);
  const std::wstring fresh = folder + L".new";
  RemoveTree(s, fresh);
  bool ok = false;
  if (auto made = CreateFolderChain(s, fresh); !made.ok()) {
    TraceErrorCode(s, made.code(), L"Failed to create folder " + fresh + L" with error code ");
  } else if (std::wstring why = services.Extract7z(archive, fresh); !why.empty()) {
    TraceError(s, L"Failed to extract the registry database " + archive + L": " + why);
  } else if (auto in = SwapInFolder(s, fresh, folder); !in.ok()) {
    TraceErrorCode(s, in.code(), L"Failed to put the new registry database in place with error code ");
  } else {
    ok = WriteWorkingFile(s, kVersionFile, version).ok();
  }
  if (!ok) RemoveTree(s, fresh);
  s.os.fs.DeleteFile(archive);
  return ok;
}

enum class FetchResult { kOk, kServerFailure, kFatal };

FetchResult FetchDatabase(Session& s, FlashScanServices& services) {
  std::wstring local = L"0";
  if (auto held = ReadWorkingFile(s, kVersionFile); held.ok()) local = Trim(*held);
  if (local.empty() || local.find(L'.') != std::wstring::npos) local = L"0";

  std::wstring majorMinor = WindowsVersionString(s);
  majorMinor.erase(std::remove(majorMinor.begin(), majorMinor.end(), L'.'), majorMinor.end());
  const std::wstring query = services.DatabaseServerUrl(
      L"/forums/CorvexRegistryDatabase.php?do=fetchdbdownloadlink&majorminor=" + majorMinor +
      L"&dbversion=" + local + L"&build=" + BuildText(s));
  const std::wstring responseFile = TempFolder(s) + L"\\" + kServerResponse;
  std::wstring answer;
  CreateFolderChain(s, TempFolder(s));
  if (uint32_t code = services.Download(query, responseFile)) {
    TraceErrorCode(s, code, L"Failed to query the registry database server with error code ");
  } else if (auto read = ReadTempFile(s, kServerResponse); read.ok()) {
    answer = Trim(*read);
  }
  if (answer == L"No Update Available") {
    Print(s, L"\n  Stage 1 of 6 ");
    return FetchResult::kOk;
  }
  if (answer == L"Rejected by Server") {
    Print(s, L"\n  No action needed");
    return FetchResult::kFatal;
  }
  // Only a version number and an address the program may fetch is a
  // download; anything else (an error page, say) is the server failing.
  const size_t comma = answer.find(L',');
  const std::wstring version = comma == std::wstring::npos ? L"" : answer.substr(0, comma);
  const std::wstring url = comma == std::wstring::npos ? L"" : Trim(answer.substr(comma + 1));
  if (!AllDigits(version) || url.empty() || url.find_first_of(L" \t\r\n") != std::wstring::npos ||
      !services.IsAcceptableDownload(url)) {
    if (!answer.empty() && answer != L"Failed")
      TraceError(s, L"The registry database server answered with something other than a download: " +
                        answer.substr(0, 200));
    Print(s, L"\n  Stage 1 of 6 failed on server");
    return FetchResult::kServerFailure;
  }
  const std::wstring archive = InWorking(s, kArchiveName);
  if (!services.DownloadWithProgress(url, archive, L"  Stage 1 of 6")) {
    TraceError(s, L"Failed to download the registry database from " + url + L".");
    Print(s, L"\n  Stage 1 of 6 failed on server");
    return FetchResult::kServerFailure;
  }
  return InstallDatabase(s, services, archive, version) ? FetchResult::kOk : FetchResult::kFatal;
}

using Locations = std::vector<std::unique_ptr<ScanLocation>>;

Locations SetUpLocations(Session& s) {
  Locations locations;
  const wchar_t* files[] = {L"catalogs.txt", L"deployments.txt", L"components.txt", L"versionedIndexes"};
  const wchar_t* paths[] = {L"COMPONENTS\\CanonicalData\\Catalogs", L"COMPONENTS\\CanonicalData\\Deployments",
                            L"COMPONENTS\\DerivedData\\Components", L"COMPONENTS\\DerivedData\\VersionedIndex"};
  const EntryKind kinds[] = {EntryKind::kCatalog, EntryKind::kDeployment, EntryKind::kComponent,
                             EntryKind::kVersionedIndex8};
  for (size_t i = 0; i < 4; ++i) {
    auto l = std::make_unique<ScanLocation>();
    l->fileName = files[i];
    l->registryPath = paths[i];
    l->kind = kinds[i];
    l->schemaIndex = i;
    locations.push_back(std::move(l));
  }
  // Versions without a versioned-index layout get no database for it.
  if (!VersionedIndexKindFor(WindowsVersionForScan(s), locations[3]->kind)) locations[3]->fileName.clear();
  return locations;
}

// Stage 2. A file that cannot be read leaves its tree checked but not
// submitted: without it every key of the tree would look unknown.
void ReadDatabases(Session& s, Locations& locations, std::wstring& report) {
  for (auto& owned : locations) {
    ScanLocation& l = *owned;
    if (l.fileName.empty()) continue;
    const std::wstring path = DatabaseFolder(s) + L"\\" + l.fileName;
    auto text = ReadTextFile(s, path);
    if (!text.ok()) {
      report += L"WARNING: The registry database file " + l.fileName + L" could not be read (error code " +
                Decimal(text.code()) + L"); keys of its tree are checked but not submitted.\r\n";
      continue;
    }
    l.database.Read(l.kind, *text);
    l.databaseRead = true;
    report += l.database.SkippedSentence(l.fileName);
  }
}

// Stages 3 to 5 step 2: one location for each version key of the
// versioned index; the first keeps the database, the others go whole.
bool SplitVersionedIndex(Session& s, Locations& locations, std::wstring& report) {
  std::unique_ptr<ScanLocation> index = std::move(locations[3]);
  locations.pop_back();
  auto& reg = s.os.registry;
  auto key = reg.OpenKey(RootKey::kLocalMachine, index->registryPath,
                         keyaccess::kEnumerateSubKeys | keyaccess::kWow64_64Key);
  if (!key.ok()) {
    report += LocationSentence(2, key.code());
    return false;
  }
  bool ok = true;
  auto versions = reg.SubKeyNames(*key);
  if (!versions.ok()) {
    report += LocationSentence(3, versions.code(), true);
    ok = false;
  } else {
    const EntryKind kind = index->kind;
    for (size_t i = 0; i < versions->size(); ++i) {
      const std::wstring& v = (*versions)[i];
      std::unique_ptr<ScanLocation> l;
      if (i == 0) {
        l = std::move(index);
      } else {
        l = std::make_unique<ScanLocation>();
        l->kind = kind;
        l->databaseRead = true;  // nothing to compare with: every key goes
      }
      l->schemaIndex = kSchemaVersionedIndex;
      l->registryPath = L"COMPONENTS\\DerivedData\\VersionedIndex\\" + v + L"\\ComponentFamilies";
      l->fileName = L"versionedIndexes_" + v + L".txt";
      locations.push_back(std::move(l));
    }
  }
  if (auto closed = key->Close(); !closed.ok()) {
    report += LocationSentence(4, closed.code());
    ok = false;
  }
  return ok;
}

std::wstring StageName(size_t position, size_t trees) {
  if (trees >= 5 && position >= 3) return L"5" + std::wstring(1, static_cast<wchar_t>(L'a' + (position - 3) % 26));
  return Decimal(position + 2);
}

// Stage 6: the submission files and the zip, handed to Collect::.
bool Submit(Session& s, FlashScanServices& services, Locations& locations, std::wstring& report) {
  Print(s, L"\n\n  Stage 6 of 6 ");
  const std::wstring folder = DatabaseFolder(s) + L"\\PendingSubmission";
  RemoveTree(s, folder);
  if (auto made = CreateFolderChain(s, folder); !made.ok()) {
    report += L"Failed to create folder " + folder + L" with error code " + Decimal(made.code()) + L".\r\n";
    return false;
  }
  const std::wstring zip = folder + L"\\RegistryFlashScanSubmission.zip";
  bool written = false, zipped = true;
  auto add = [&](const std::wstring& file) {
    if (uint32_t code = services.AddToZip(zip, file)) {
      Print(s, L"\nFailed to create zip file with errno " + DecimalSigned(ErrnoFromWin32(code)));
      TraceErrorCode(s, code, L"Failed to add " + file + L" to " + zip + L" with error code ");
      zipped = false;
    }
  };
  for (auto& owned : locations) {
    ScanLocation& l = *owned;
    if (l.submission.empty() || !l.databaseRead) continue;
    std::wstring text;
    for (auto& entry : l.submission) text += entry->DatabaseLine() + L"\r\n";
    const std::wstring file = folder + L"\\" + l.fileName;
    if (auto w = WriteTextFile(s, file, text); !w.ok()) {
      report += L"Failed to write " + file + L" with error code " + Decimal(w.code()) + L".\r\n";
      zipped = false;
      continue;
    }
    written = true;
    add(file);
  }
  if (!written) return zipped;
  std::wstring info = WindowsVersionString(s);
  if (IsWindows10OrGreater(s)) info += L"," + CurrentBuild(s);
  info += L"\r\n" + (s.versionKnown ? s.programVersion : L"");
  const std::wstring infoFile = folder + L"\\systemInfo.txt";
  if (auto w = WriteTextFile(s, infoFile, info); !w.ok()) {
    report += L"Failed to write " + infoFile + L" with error code " + Decimal(w.code()) + L".\r\n";
    zipped = false;
  } else {
    add(infoFile);
  }
  // A zip that is missing a part is not sent as though it were whole.
  if (!zipped) {
    report += L"WARNING: The registry flash scan's submission " + zip + L" could not be made whole and was not sent.\r\n";
    return false;
  }
  return services.Submit(zip, report);
}

}  // namespace

bool WalkLocation(Session& s, ScanLocation& location, const std::wstring& stage, std::wstring& report) {
  auto& reg = s.os.registry;
  auto tree = reg.OpenKey(RootKey::kLocalMachine, location.registryPath, kWalkAccess);
  if (!tree.ok()) {
    report += LocationSentence(4, tree.code());
    return false;
  }
  bool ok = true;
  double total = kGuessedSubKeys;
  auto info = reg.QueryKeyInfo(*tree);
  auto names = info.ok() ? reg.SubKeyNames(*tree) : platform::Result<std::vector<std::wstring>>(platform::Error{info.code()});
  if (!info.ok() || !names.ok()) {
    report += LocationSentence(5, info.ok() ? names.code() : info.code());
    ok = false;
    Print(s, L"WARNING: Failed to detemine progress bar values at 100%. An estimate has been\ntaken but this is "
             L"unlikely to be completely accurate. As a result the progress\nbar may complete at under 100% fill "
             L"or may even over fill. Do not be concerned\nby this. Press any key to continue . . . ");
    WaitKey(s);
    Print(s, L"\n\n");
  } else {
    total = info->subKeys;
  }
  Print(s, L"\n\n  Stage " + stage + L" of 6\n");
  ShowProgress(s, 0, total);
  const std::vector<std::wstring> none;
  const std::vector<std::wstring>& subkeys = names.ok() ? *names : none;
  size_t done = 0;
  for (const std::wstring& name : subkeys) {
    const std::wstring path = location.registryPath + L"\\" + name;
    auto key = reg.OpenKey(RootKey::kLocalMachine, path, kWalkAccess);
    if (!key.ok()) {
      report += LocationSentence(6, key.code());
      ok = false;
    } else {
      uint32_t result = ValidateKeyAgainstSchema(s, *key, path, location.schemaIndex);
      auto live = ReadLiveEntry(s, location.kind, path, *key, result);
      const RegistryKeyDatabaseEntry* known = location.database.Find(name);
      if (!known || known->Differs(*live)) location.submission.push_back(std::move(live));
      if (auto closed = key->Close(); !closed.ok()) {
        report += LocationSentence(7, closed.code());
        ok = false;
      }
    }
    if (++done % 20 == 0) ShowProgress(s, static_cast<double>(done), total);
  }
  ShowProgress(s, static_cast<double>(done), total);
  if (auto closed = tree->Close(); !closed.ok()) {
    report += LocationSentence(8, closed.code());
    ok = false;
  }
  return ok;
}

bool RunRegistryFlashScan(Session& s, FlashScanServices& services) {
  if (Exists(s, InWorking(s, kAlreadyRun))) return true;
  if (!MakeMarker(s, kAlreadyRun)) {
    // Without the marker the scan would run on every start.
    TraceError(s, L"Failed to create " + InWorking(s, kAlreadyRun) + L"; the registry flash scan is not run.");
    return false;
  }
  if (!Exists(s, InWorking(s, kApproval))) {
    wchar_t key = services.AskConsent(kConsentText);
    if (key != L'y' && key != L'Y') return true;
    MakeMarker(s, kApproval);
  }
  Print(s, L"Beginning flash scan of Windows Update registry.");
  Print(s, L"\nThis process will take about ten minutes.\n\n");

  std::wstring report;
  bool ok = true, warnings = false;
  FetchResult fetched = FetchDatabase(s, services);
  if (fetched == FetchResult::kFatal) return false;
  warnings = fetched == FetchResult::kServerFailure;

  Locations locations = SetUpLocations(s);
  ReadDatabases(s, locations, report);

  std::wstring hiveReport;
  if (!LoadHiveDirective(s, {L"COMPONENTS"}, L"", hiveReport)) {
    // A hive Windows already holds loaded is there to be read.
    auto loaded = s.os.registry.OpenKey(RootKey::kLocalMachine, L"COMPONENTS", kWalkAccess);
    if (loaded.ok()) {
      TraceInfo(s, L"The COMPONENTS hive is loaded already: " + hiveReport);
    } else {
      report += L"Failed to process registry database in location 1.\r\n";
      ok = false;
    }
  }
  if (ok) {
    if (!SplitVersionedIndex(s, locations, report)) ok = false;
    for (size_t i = 0; i < locations.size(); ++i)
      if (!WalkLocation(s, *locations[i], StageName(i, locations.size()), report)) ok = false;
    if (!Submit(s, services, locations, report)) ok = false;
  }
  if (!Trim(report).empty()) s.flashScanReport += report;
  if (ok && !warnings)
    Print(s, L"Scan completed successfully.\n\n");
  else
    Print(s, L"\nScan completed with warnings.\n\n");
  services.ClearConsole();
  return ok;
}

}  // namespace corvex
