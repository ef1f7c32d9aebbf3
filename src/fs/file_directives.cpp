#include "fs/file_directives.h"

#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/datablock_store.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"
#include "fs/file_scan.h"

namespace corvex {

namespace attr = platform::attr;

namespace {

// A line's path with one pair of enclosing double quotes taken off.
std::wstring Unquoted(const std::wstring& line) {
  std::wstring t = Trim(line);
  if (t.size() >= 2 && t.front() == L'"' && t.back() == L'"') t = Trim(t.substr(1, t.size() - 2));
  return t;
}

bool IsFolder(Session& s, const std::wstring& path) {
  auto a = s.os.fs.GetAttributes(AddLongPathPrefix(path));
  return a.ok() && (*a & attr::kDirectory);
}

}  // namespace

// --- CreateDirectory:: -------------------------------------------------------

bool CreateDirectoryDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  int mode = 0;
  if (!lines.empty() && (lines[0] == L"[MODE:1]" || lines[0] == L"[MODE:2]")) {
    mode = lines[0] == L"[MODE:1]" ? 1 : 2;
    lines.erase(lines.begin());
  }
  bool ok = true;
  for (const std::wstring& line : lines) {
    const std::wstring folder = StripLongPathPrefix(Unquoted(line));
    auto fail = [&](const std::wstring& why) {
      ok = false;
      report += (mode == 1 ? L"FAILED: Could not repair missing store directory " : L"Failed to create directory tree ") +
                folder + why + L".\r\n";
    };
    if (folder.empty()) {
      fail(L" as the line names no folder");
      continue;
    }
    // A quote left inside would reach Windows as part of a name.
    if (folder.find(L'"') != std::wstring::npos) {
      fail(L" as a path may not contain a double quote");
      continue;
    }
    auto st = CreateFolderChain(s, AddLongPathPrefix(folder));
    if (!st.ok()) {
      fail(L" with error code " + ErrorCodeName(st.code()));
    } else if (mode == 0) {
      report += L"Successfully created directory tree " + folder + L".\r\n";
    } else if (mode == 1) {
      report += L"FIXED: Successfully repaired missing store directory " + folder + L".\r\n";
    }
  }
  return ok;
}

// --- CreateHardlink:: --------------------------------------------------------

bool CreateHardlinkDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  for (const std::wstring& line : lines) {
    std::vector<std::wstring> items = SplitLineItems(line);
    // A path with a space written without quotes splits into more than two
    // pieces: guessing which are the paths could link the wrong names.
    if (items.size() != 2) {
      ok = false;
      report += L"Failed to create hardlink for line " + line +
                L". The line must hold an existing file and a new link name, each in double quotes when it "
                L"contains a space.\r\n";
      continue;
    }
    const std::wstring a = AddLongPathPrefix(MapSystem32Path(s, StripLongPathPrefix(items[0])));
    const std::wstring b = AddLongPathPrefix(MapSystem32Path(s, StripLongPathPrefix(items[1])));
    const std::wstring lead =
        L"Failed to create hardlink from file " + StoredPath(s, a) + L" to " + StoredPath(s, b);
    // Windows names ignore case: "C:\x" and "c:\X" are one file.
    if (IEquals(a, b)) {
      ok = false;
      report += lead + L". A hardlink may not be created onto itself.\r\n";
      continue;
    }
    if (IsFolder(s, a) || IsFolder(s, b)) {
      ok = false;
      report += lead + L". Hardlinks may not be created on directories.\r\n";
      continue;
    }
    auto st = s.os.fs.AddHardLink(b, a);
    if (!st.ok()) {
      ok = false;
      report += lead + L" with error code " + ErrorCodeName(st.code()) + L".\r\n";
      continue;
    }
    report += L"Successfully created hardlink from file " + StoredPath(s, a) + L" to " + StoredPath(s, b) + L".\r\n";
  }
  return ok;
}

// --- Delete:: ----------------------------------------------------------------

namespace {

// Folders no line may empty, nor reach into with a wildcard: drive roots,
// the Windows folder and the system folders in it, the program and user
// folders, and every folder above one of them. A mistyped line such as
// "C:\" or "%SystemRoot%" would otherwise wipe the system.
class ProtectedFolders {
 public:
  explicit ProtectedFolders(Session& s) : s_(s) {
    const std::wstring root = SystemRoot(s);
    std::vector<std::wstring> bases;
    for (const wchar_t* sub : {L"", L"\\System32", L"\\SysWOW64", L"\\WinSxS", L"\\servicing",
                               L"\\System32\\drivers", L"\\System32\\config", L"\\System32\\DriverStore"})
      if (!root.empty()) bases.push_back(root + sub);
    for (const wchar_t* var : {L"%ProgramFiles%", L"%ProgramFiles(x86)%", L"%ProgramW6432%", L"%ProgramData%",
                               L"%SystemDrive%\\Users", L"%UserProfile%", L"%Public%"}) {
      std::wstring v = s.os.env.Expand(var, 512);
      if (v.find(L'%') == std::wstring::npos) bases.push_back(v);
    }
    for (std::wstring b : bases) {
      // Each folder and everything above it.
      for (b = Key(b); b.size() > PathRootLength(b);) {
        Add(b);
        size_t slash = b.rfind(L'\\');
        if (slash == std::wstring::npos) break;
        b.resize(slash);
      }
    }
  }

  bool Contains(const std::wstring& folder) {
    const std::wstring k = Key(folder);
    if (k.size() <= PathRootLength(k)) return true;  // a drive or share root
    for (const std::wstring& p : keys_)
      if (p == k) return true;
    // The same folder under another name: a short name, a junction.
    auto id = s_.os.fs.Identity(AddLongPathPrefix(folder));
    if (!id.ok()) return false;
    for (const auto& p : ids_)
      if (p == *id) return true;
    return false;
  }

 private:
  // Compared as text in its native form, lower case, without a trailing "\".
  std::wstring Key(const std::wstring& path) {
    std::wstring k = ToLower(UnmapSystem32Path(s_, StripLongPathPrefix(path)));
    while (k.size() > 1 && k.back() == L'\\') k.pop_back();
    return k;
  }
  void Add(const std::wstring& key) {
    for (const std::wstring& p : keys_)
      if (p == key) return;
    keys_.push_back(key);
    auto id = s_.os.fs.Identity(AddLongPathPrefix(MapSystem32Path(s_, key)));
    if (id.ok()) ids_.push_back(*id);
  }

  Session& s_;
  std::vector<std::wstring> keys_;
  std::vector<platform::FileIdentity> ids_;
};

bool HasWildcard(const std::wstring& pattern) { return pattern.find_first_of(L"*?") != std::wstring::npos; }

// Only "X:\..." and "\\server\share\..." name one place; a relative path
// depends on the current folder, and "." or ".." can climb out of the
// folder the line seems to name.
bool IsPlainFullPath(const std::wstring& path) {
  const size_t root = PathRootLength(path);
  if (root == 0 || path.size() <= root || path[root] != L'\\') return false;
  for (const std::wstring& part : Split(path.substr(root + 1), L"\\"))
    if (part == L"." || part == L"..") return false;
  return true;
}

}  // namespace

bool DeleteDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  ProtectedFolders protectedFolders(s);
  for (const std::wstring& line : lines) {
    const std::wstring path = StripLongPathPrefix(MapSystem32Path(s, Trim(ReplaceAll(line, L"\"", L""))));
    if (!IsPlainFullPath(path)) {
      ok = false;
      report += L"Failed to delete files matching pattern " + StoredPath(s, path) +
                L". A full path to a folder, or to a folder and a file pattern, is needed.\r\n";
      continue;
    }
    // A folder is emptied whole; anything else is a folder and a pattern.
    const bool whole = path.size() == PathRootLength(path) + 1 || IsFolder(s, path);
    std::wstring folder = path, pattern = L"*.*";
    if (whole) {
      while (folder.size() > PathRootLength(folder) && folder.back() == L'\\') folder.pop_back();
    } else {
      size_t slash = path.rfind(L'\\');
      folder = path.substr(0, slash);
      pattern = path.substr(slash + 1);
    }
    const std::wstring shown = StoredPath(s, folder + L"\\" + pattern);
    if (pattern.empty()) {
      ok = false;
      report += L"Failed to delete files matching pattern " + shown + L". The path names no file pattern.\r\n";
      continue;
    }
    if ((whole || HasWildcard(pattern)) && protectedFolders.Contains(folder)) {
      ok = false;
      report += L"Failed to delete files matching pattern " + shown +
                L". A drive root or system folder may not be emptied, nor its contents deleted by wildcard.\r\n";
      continue;
    }
    DeleteResult result = DeleteMatching(s, folder, pattern);
    if (result == DeleteResult::kNothingMatched) {
      report += L"WARNING: No files or folders matched deletion pattern " + shown + L".\r\n";
    } else if (result != DeleteResult::kAllDeleted) {
      ok = false;
      report += L"Failed to delete all files and folders matching pattern " + shown + L" with result code " +
                DecimalSigned(static_cast<int>(result)) + L".\r\n";
    } else {
      report += L"Successfully deleted files matching pattern " + shown + L".\r\n";
    }
  }
  return ok;
}

// --- CheckStoreFlags:: -------------------------------------------------------

bool CheckStoreFlagsDirective(Session&, Lines, const std::wstring&, std::wstring&) { return false; }

// --- FileScan:: --------------------------------------------------------------

bool FileScanDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report) {
  Print(s, L"Please be patient, this directive may take several minutes to complete.\n");
  wchar_t drive = L'C';
  if (!lines.empty() && IStartsWith(lines[0], L"[DRIVE:")) {
    const std::wstring& d = lines[0];
    const wchar_t letter = d.size() == 9 ? d[7] : L'\0';
    if (d.size() == 9 && d[8] == L']' && ((letter >= L'a' && letter <= L'z') || (letter >= L'A' && letter <= L'Z')))
      drive = static_cast<wchar_t>(letter & ~0x20);
    else
      report += L"WARNING: Invalid drive letter supplied. Defaulting to C:\\.\r\n\r\n";
    lines.erase(lines.begin());
  }
  std::vector<std::wstring> names;
  for (const std::wstring& line : lines) {
    // The file table holds leaf names: of a path, only its last part can match.
    std::wstring n = Unquoted(line);
    size_t slash = n.rfind(L'\\');
    if (slash != std::wstring::npos) n = n.substr(slash + 1);
    if (!n.empty()) names.push_back(n);
  }
  if (names.empty()) {
    report += L"No file names were entered under this directive.\r\n";
    return false;
  }

  VolumeScan scan = ScanVolumeForNames(s, drive, names);
  if (scan.stoppedWith)
    report += L"WARNING: The scan of drive " + std::wstring(1, drive) + L": stopped with error code " +
              ErrorCodeName(scan.stoppedWith) + L".\r\n";
  if (!scan.complete()) report += L"WARNING: There may be further unlisted copies of some of these files on the system.\r\n\r\n";
  for (size_t i = 0; i < scan.files.size(); ++i) report += DescribeFoundFile(s, i, scan.files[i], archive);
  return scan.stoppedWith == 0;
}

}  // namespace corvex
