#include "fs/powercopy_check.h"

#include <algorithm>
#include <deque>
#include <set>
#include <utility>

#include "base/path.h"
#include "base/text.h"
#include "core/system_facts.h"
#include "core/working_folders.h"

namespace corvex {

namespace attr = platform::attr;

namespace {

const std::wstring kDirSuffix = L" [DIR]";

bool Listed(const Lines& list, const std::wstring& path) {
  return std::find(list.begin(), list.end(), path) != list.end();
}

void AddOnce(Lines& list, const std::wstring& path) {
  if (!Listed(list, path)) list.push_back(path);
}

// "\SystemRoot\..." as the kernel names the Windows folder.
std::wstring FromSystemRoot(Session& s, const std::wstring& path) {
  static const std::wstring kPrefix = L"\\SystemRoot\\";
  if (!IStartsWith(path, kPrefix)) return path;
  return SystemRoot(s) + path.substr(kPrefix.size() - 1);
}

bool IsFolder(Session& s, const std::wstring& path) {
  auto a = s.os.fs.GetAttributes(AddLongPathPrefix(path));
  return a.ok() && (*a & attr::kDirectory);
}

// A component made of dots (and the spaces Windows strips after them) walks
// out of the folder it is in; under the backup folder it would put a backup
// outside it.
bool HasDotComponent(const std::wstring& path) {
  for (const auto& part : Split(path, L"\\")) {
    if (part.empty() || part.find(L'.') == std::wstring::npos) continue;
    if (part.find_first_not_of(L". ") == std::wstring::npos) return true;
  }
  return false;
}

// Everything under `folder`, breadth first; sub-folders end in "\".
std::vector<std::wstring> ListTree(Session& s, const std::wstring& folder) {
  std::vector<std::wstring> found;
  std::deque<std::wstring> queue{folder};
  while (!queue.empty()) {
    std::wstring at = queue.front();
    queue.pop_front();
    auto entries = s.os.fs.Find(AddLongPathPrefix(at) + L"\\*");
    if (!entries.ok()) continue;
    for (const auto& e : *entries) {
      if (e.name == L"." || e.name == L"..") continue;
      std::wstring full = at + L"\\" + e.name;
      if (e.attributes & attr::kDirectory) {
        found.push_back(full + L"\\");
        queue.push_back(full);
      } else {
        found.push_back(full);
      }
    }
  }
  return found;
}

std::wstring Blocked(const std::wstring& why, const std::wstring& line) {
  return L"Line blocked (" + why + L"): " + line + L".\r\n";
}

// The rules for a file line, in their order; the reason it is blocked, or
// empty. `source` and `destination` are filled for a line that passes.
std::wstring BlockReason(Session& s, const std::wstring& line, std::wstring& source, std::wstring& destination) {
  const bool quoted = line.find(L'"') != std::wstring::npos;
  if (!quoted && std::count(line.begin(), line.end(), L' ') > 1) return L"invalid spacing";
  if (line.find(L"do not match actual file") != std::wstring::npos) return L"SFC style line extension";
  if (line.find_first_of(L"/*?<>|") != std::wstring::npos) return L"invalid characters";
  auto items = SplitLineItems(line);
  if (items.size() < 2) return L"invalid double quotation marks or line structure";
  source = FromSystemRoot(s, items[0]);
  destination = FromSystemRoot(s, items[1]);
  return std::wstring();
}

// Destination classification: an existing file has its security taken;
// otherwise the deepest missing folder is created and the nearest existing
// folder's security is taken. A drive root is never taken: its security
// could not be put back (a restore refuses a path that ends in "\").
void Classify(Session& s, const std::wstring& destination, CheckedLines& out) {
  auto a = s.os.fs.GetAttributes(AddLongPathPrefix(destination));
  if (a.ok() && !(*a & attr::kDirectory)) {
    AddOnce(out.permissions, destination);
    return;
  }
  bool missingListed = false;
  std::wstring at = destination;
  for (size_t slash = at.rfind(L'\\'); slash != std::wstring::npos; slash = at.rfind(L'\\')) {
    at.resize(slash);
    if (at.size() <= PathRootLength(at)) return;
    if (s.os.fs.GetAttributes(AddLongPathPrefix(at)).ok()) {
      AddOnce(out.permissions, at);
      return;
    }
    if (!missingListed) {
      AddOnce(out.folders, at);
      missingListed = true;
    }
  }
}

// A folder line becomes one line per file, appended to `lines`; folders
// that have no counterpart yet go to the folder list.
void ExpandFolderLine(Session& s, const std::wstring& line, Lines& lines, CheckedLines& out,
                      std::wstring& report) {
  const std::wstring body = line.substr(0, line.size() - kDirSuffix.size());
  auto items = SplitLineItems(body);
  if (items.size() < 2) {
    report += Blocked(L"invalid double quotation marks or line structure", line);
    return;
  }
  std::wstring source = MapSystem32Path(s, FromSystemRoot(s, items[0]));
  std::wstring destination = MapSystem32Path(s, FromSystemRoot(s, items[1]));
  while (source.size() > 3 && source.back() == L'\\') source.pop_back();
  while (destination.size() > 3 && destination.back() == L'\\') destination.pop_back();
  if (HasDotComponent(destination)) {
    report += Blocked(L"relative path components in destination", line);
    return;
  }
  auto found = ListTree(s, source);
  if (found.empty()) {
    report += L"Failed to find any content under directory \"" + ShownPath(s, source) + L"\" in line \"" + line +
              L"\".\r\n";
    out.ok = false;
    return;
  }
  for (const auto& item : found) {
    std::wstring relative = item.substr(source.size());
    if (item.back() == L'\\') {
      std::wstring counterpart = destination + relative.substr(0, relative.size() - 1);
      if (!IsFolder(s, counterpart)) AddOnce(out.folders, counterpart);
    } else {
      lines.push_back(L"\"" + item + L"\" " + destination + relative);
    }
  }
}

}  // namespace

CopyMode TakeCopyMode(Lines& lines) {
  if (lines.empty()) return CopyMode::kNormal;
  static const std::pair<const wchar_t*, CopyMode> kModes[] = {
      {L"[MODE:1]", CopyMode::kAutomatic}, {L"[MODE:2]", CopyMode::kRestore}, {L"[MODE:3]", CopyMode::kNormal}};
  for (const auto& [text, mode] : kModes) {
    if (lines.front() == text) {
      lines.erase(lines.begin());
      return mode;
    }
  }
  return CopyMode::kNormal;
}

Lines WithModeLine(CopyMode mode, const wchar_t* modeLine, const Lines& paths) {
  Lines lines;
  if (mode != CopyMode::kNormal) lines.push_back(modeLine);
  lines.insert(lines.end(), paths.begin(), paths.end());
  return lines;
}

std::wstring ShownPath(Session& s, const std::wstring& path) {
  return StripLongPathPrefix(UnmapSystem32Path(s, path));
}

CheckedLines CheckCopyLines(Session& s, Lines lines, const std::wstring& archive, std::wstring& report) {
  CheckedLines out;
  const std::wstring script = archive.empty() ? std::wstring() : archive + L"\\Corvex.txt";
  // Folder lines append theirs, so the end is read afresh on every turn.
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::wstring line = ReplaceAll(lines[i], kLongPathPrefix, L"");
    if (line.size() > kDirSuffix.size() && IEquals(line.substr(line.size() - kDirSuffix.size()), kDirSuffix)) {
      ExpandFolderLine(s, line, lines, out, report);
      continue;
    }
    std::wstring source, destination;
    std::wstring why = BlockReason(s, line, source, destination);
    if (why.empty() && !script.empty() && IEquals(source, script)) continue;  // the script itself
    if (why.empty() && (source.rfind(L':') != 1 || destination.rfind(L':') != 1)) why = L"invalid colon position";
    if (why.empty() && HasDotComponent(destination)) why = L"relative path components in destination";
    if (!why.empty()) {
      report += Blocked(why, line);
      continue;
    }
    CopyLine checked{MapSystem32Path(s, source), MapSystem32Path(s, destination)};
    Classify(s, checked.destination, out);
    out.lines.push_back(std::move(checked));
  }
  DropDuplicateLinks(s, out.permissions);
  return out;
}

void DropDuplicateLinks(Session& s, Lines& paths) {
  std::set<std::pair<uint32_t, uint64_t>> seen;
  Lines kept;
  for (auto& path : paths) {
    auto id = s.os.fs.Identity(AddLongPathPrefix(path));
    if (id.ok() && !seen.insert({id->volumeSerial, id->fileIndex}).second) continue;
    kept.push_back(std::move(path));
  }
  paths = std::move(kept);
}

}  // namespace corvex
