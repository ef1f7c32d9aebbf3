#include "analysis/update_database.h"

#include <algorithm>
#include <map>
#include <string_view>
#include <unordered_map>

#include "analysis/pager.h"
#include "base/path.h"
#include "base/text.h"
#include "core/folder_tree.h"
#include "core/line_reader.h"
#include "core/session_log.h"
#include "core/working_folders.h"
#include "script/zip_reader.h"

namespace corvex {

namespace {

constexpr wchar_t kVersionFile[] = L"databaseVersion.txt";
constexpr wchar_t kDatabaseFolder[] = L"WindowsUpdateDatabase";
constexpr wchar_t kIndexTable[] = L"IndexedLookupTable.txt";
constexpr wchar_t kManifestTable[] = L"ManifestDatabase.txt";
constexpr wchar_t kPayloadPrefix[] = L"PayloadDatabase";
constexpr wchar_t kRemoteVersion[] = L"QuillmereWindowsUpdateDatabaseVersion.txt";
constexpr wchar_t kArchiveName[] = L"QuillmereWindowsUpdateDatabase.zip";
constexpr wchar_t kRemoteFolder[] = L"/windows-update-database/";

// A version is a short line; the archive is announced as under 20MB, so
// anything far past that is not the database.
constexpr uint64_t kMaxVersionBytes = 256;
constexpr uint64_t kMaxArchiveBytes = 128ull * 1024 * 1024;
// One key of a healthy database has a handful of lines; a table that
// answers a key with more is damaged, and memory is not spent on it.
constexpr size_t kMaxLinesPerKey = 10000;

constexpr wchar_t kFirstDownloadText[] =
    L"Would you like to allow a download to occur?\n\n\nIn order to repair some of your corrupt files, the "
    L"locations of good replacements must first be determined. Corvex finds them with the Windows Update "
    L"database that Tallwen publishes: it lists the update packages that carry each system file. The database "
    L"is less than 20MB in size; it is downloaded once and kept on this computer for later runs.\n\nType \"y\" "
    L"for yes or \"n\" for no and press enter to continue:  ";

constexpr wchar_t kUpdateText[] =
    L"Would you like to allow a download to occur?\n\n\nIn order to repair some of your corrupt files, the "
    L"locations of good replacements must first be determined. Tallwen has released an update of the Windows "
    L"Update database that Corvex downloaded earlier to find them. The update is another download of less than "
    L"20MB.\n\nType \"y\" for yes or \"n\" for no and press enter to continue:  ";

std::wstring InWorking(Session& s, const std::wstring& name) { return WorkingFolder(s) + L"\\" + name; }
std::wstring DatabaseFolder(Session& s) { return InWorking(s, kDatabaseFolder); }
std::wstring TablePath(Session& s, const std::wstring& name) { return DatabaseFolder(s) + L"\\" + name; }

bool Exists(Session& s, const std::wstring& path) { return s.os.fs.GetAttributes(AddLongPathPrefix(path)).ok(); }


std::wstring ShownReply(const std::wstring& text) { return MaskedForSentence(text, 100); }

// The published version: fetched into Temp, read and removed again.
std::optional<std::wstring> FetchPublishedVersion(Session& s, DownloadServices& services) {
  CreateFolderChain(s, TempFolder(s));
  const std::wstring target = TempFolder(s) + L"\\" + kRemoteVersion;
  const std::wstring url = services.UpdateDatabaseUrl(std::wstring(kRemoteFolder) + kRemoteVersion + L"?dl=1");
  if (uint32_t code = services.Download(url, target, kMaxVersionBytes)) {
    TraceErrorCode(s, code, L"Failed to download the Windows Update database version with error code ");
    DeleteFileIfThere(s, target);
    return std::nullopt;
  }
  auto text = ReadTempFile(s, kRemoteVersion);
  DeleteFileIfThere(s, target);
  if (!text.ok()) {
    TraceErrorCode(s, text.code(), L"Failed to read the Windows Update database version with error code ");
    return std::nullopt;
  }
  std::wstring version = Trim(*text);
  if (!ParseDatabaseVersion(version)) {
    TraceError(s, L"The Windows Update database host answered with something other than a version: " +
                      ShownReply(version));
    return std::nullopt;
  }
  return version;
}

// Unpacks the archive beside the tables in use and swaps it in only when
// it is whole and holds both fixed tables; the version goes last, so any
// failure leaves the old tables with their old version.
bool InstallDatabase(Session& s, const std::wstring& archive, const std::wstring& version) {
  const std::wstring folder = DatabaseFolder(s);
  const std::wstring fresh = folder + L".new";
  RemoveTree(s, AddLongPathPrefix(fresh));
  bool ok = false;
  if (std::wstring why = ExtractZip(s.os.fs, AddLongPathPrefix(archive), AddLongPathPrefix(fresh)); !why.empty()) {
    TraceError(s, L"Failed to unpack the Windows Update database: " + why);
  } else if (!Exists(s, fresh + L"\\" + kIndexTable) || !Exists(s, fresh + L"\\" + kManifestTable)) {
    TraceError(s, L"The Windows Update database archive lacks " + std::wstring(kIndexTable) + L" or " +
                      kManifestTable + L"; the tables held are kept.");
  } else if (auto in = SwapInFolder(s, AddLongPathPrefix(fresh), AddLongPathPrefix(folder), OldFolder::kKeep);
             !in.ok()) {
    TraceErrorCode(s, in.code(), L"Failed to put the new Windows Update database in place with error code ");
  } else if (auto written = WriteWorkingFile(s, kVersionFile, version); !written.ok()) {
    // New tables under the old version would never be offered again whole:
    // the old pair goes back.
    TraceErrorCode(s, written.code(), L"Failed to write " + InWorking(s, kVersionFile) + L" with error code ");
    if (auto back = RevertFolderSwap(s, AddLongPathPrefix(fresh), AddLongPathPrefix(folder)); !back.ok())
      TraceErrorCode(s, back.code(), L"Failed to put the old Windows Update database back with error code ");
  } else {
    RemoveTree(s, AddLongPathPrefix(folder + L".old"));
    ok = true;
  }
  RemoveTree(s, AddLongPathPrefix(fresh));
  return ok;
}

std::string_view StripLineEnd(std::string_view line) {
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The lines of a table whose first field is one of `keys`, by key, each
// with at least `minFields` fields. A missing table finds nothing.
std::vector<std::vector<std::wstring>> MatchTable(Session& s, const std::wstring& path,
                                                  const std::vector<std::wstring>& keys, size_t minFields) {
  std::vector<std::vector<std::wstring>> found(keys.size());
  std::unordered_map<std::string, std::vector<size_t>> wanted;
  for (size_t i = 0; i < keys.size(); ++i)
    if (!keys[i].empty()) wanted[ToUtf8(keys[i])].push_back(i);
  if (wanted.empty()) return found;
  auto reader = LineReader::Open(s.os.fs, AddLongPathPrefix(path));
  if (!reader.ok()) {
    if (reader.code() != platform::err::kFileNotFound && reader.code() != platform::err::kPathNotFound)
      TraceErrorCode(s, reader.code(), L"Failed to open " + path + L" with error code ");
    return found;
  }
  std::string_view line;
  bool first = true;
  while (reader->Next(line)) {
    if (first && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    first = false;
    if (reader->cut()) continue;  // a cut line would answer with half its fields
    line = StripLineEnd(line);
    const size_t bar = line.find('|');
    if (bar == std::string_view::npos) continue;
    auto match = wanted.find(std::string(line.substr(0, bar)));
    if (match == wanted.end()) continue;
    if (static_cast<size_t>(std::count(line.begin(), line.end(), '|')) + 1 < minFields) continue;
    const std::wstring text = FromUtf8(std::string(line));
    for (size_t i : match->second)
      if (found[i].size() < kMaxLinesPerKey) found[i].push_back(text);
  }
  if (reader->code()) TraceErrorCode(s, reader->code(), L"Failed to read " + path + L" with error code ");
  return found;
}

}  // namespace

std::optional<std::vector<uint32_t>> ParseDatabaseVersion(const std::wstring& text) {
  if (text.empty() || text.size() > 64) return std::nullopt;
  std::vector<uint32_t> fields;
  for (const std::wstring& part : Split(text, L".")) {
    // Nine digits fit a field; a longer one is no version of ours.
    if (part.empty() || part.size() > 9 || part.find_first_not_of(L"0123456789") != std::wstring::npos)
      return std::nullopt;
    fields.push_back(static_cast<uint32_t>(std::stoul(part)));
  }
  return fields;
}

int CompareDatabaseVersions(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
    const uint32_t x = i < a.size() ? a[i] : 0;
    const uint32_t y = i < b.size() ? b[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

DatabaseCheck EnsureUpdateDatabase(Session& s, DownloadServices& services) {
  FinishInterruptedSwap(s, AddLongPathPrefix(DatabaseFolder(s)));
  std::optional<std::vector<uint32_t>> held;
  if (auto text = ReadWorkingFile(s, kVersionFile); text.ok()) held = ParseDatabaseVersion(Trim(*text));
  // A version without its index is no database: offer it afresh.
  if (held && !Exists(s, TablePath(s, kIndexTable))) held.reset();

  std::optional<std::wstring> published = FetchPublishedVersion(s, services);
  if (!published) return DatabaseCheck::kNoVersion;
  if (held && CompareDatabaseVersions(*held, *ParseDatabaseVersion(*published)) >= 0) return DatabaseCheck::kCurrent;

  if (!AskYesNo(s, held ? kUpdateText : kFirstDownloadText)) return DatabaseCheck::kDeclined;

  const std::wstring archive = InWorking(s, kArchiveName);
  const std::wstring url = services.UpdateDatabaseUrl(std::wstring(kRemoteFolder) + kArchiveName + L"?dl=1");
  bool ok = services.DownloadWithProgress(url, archive, kArchiveName, L"", kMaxArchiveBytes);
  if (!ok)
    TraceError(s, L"Failed to download the Windows Update database from " + url + L".");
  else
    ok = InstallDatabase(s, archive, *published);
  DeleteFileIfThere(s, archive);
  return ok ? DatabaseCheck::kInstalled : DatabaseCheck::kFailed;
}

std::vector<std::optional<std::wstring>> LookUpIndex(Session& s, const std::vector<std::wstring>& keys) {
  std::vector<std::optional<std::wstring>> values(keys.size());
  auto lines = MatchTable(s, TablePath(s, kIndexTable), keys, 2);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (lines[i].empty()) continue;
    const std::wstring& line = lines[i].front();
    const size_t start = line.find(L'|') + 1;
    values[i] = line.substr(start, line.find(L'|', start) - start);
  }
  return values;
}

std::vector<std::vector<std::wstring>> LookUpUpdateDatabase(Session& s, DownloadServices& services,
                                                            const std::vector<std::wstring>& keys,
                                                            UpdateDatabaseMode mode) {
  if (!s.analysis.updateDatabaseChecked) {
    EnsureUpdateDatabase(s, services);
    s.analysis.updateDatabaseChecked = true;
  }
  if (mode == UpdateDatabaseMode::kManifest) return MatchTable(s, TablePath(s, kManifestTable), keys, 3);
  std::vector<std::vector<std::wstring>> found(keys.size());
  if (mode != UpdateDatabaseMode::kPayload) return found;

  // The keys by the payload table the index names for them; a name that is
  // not a plain payload table's would lead out of the database folder.
  std::map<std::wstring, std::vector<size_t>> byTable;
  auto tables = LookUpIndex(s, keys);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!tables[i]) continue;
    const std::wstring& table = *tables[i];
    if (!StartsWith(table, kPayloadPrefix) || !IsSafeFileName(table)) {
      TraceError(s, L"The Windows Update database's index names \"" + ShownReply(table) + L"\" for " + ShownReply(keys[i]) +
                        L", which is not a payload table.");
      continue;
    }
    byTable[table].push_back(i);
  }
  for (const auto& [table, indices] : byTable) {
    std::vector<std::wstring> subset;
    for (size_t i : indices) subset.push_back(keys[i]);
    auto lines = MatchTable(s, TablePath(s, table), subset, 3);
    for (size_t j = 0; j < indices.size(); ++j) found[indices[j]] = std::move(lines[j]);
  }
  return found;
}

}  // namespace corvex
