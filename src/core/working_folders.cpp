#include "core/working_folders.h"

#include <deque>

#include "base/text.h"
#include "core/text_file.h"
#include "base/wildcard.h"
#include "platform/filesystem.h"
#include "core/text_reader.h"

namespace corvex {

namespace attr = platform::attr;

static std::wstring LocalAppData(Session& s) {
  auto folder = s.os.env.GetKnownFolder(platform::KnownFolder::kLocalAppData);
  return folder.ok() ? *folder : std::wstring();
}

std::wstring WorkingFolder(Session& s) { return LocalAppData(s) + L"\\Tallwen"; }
std::wstring TempFolder(Session& s) { return WorkingFolder(s) + L"\\Temp"; }
std::wstring ArchiveFolder(Session& s) { return WorkingFolder(s) + L"\\Archive"; }

static std::wstring LongPath(const std::wstring& path) {
  return StartsWith(path, L"\\\\?\\") ? path : L"\\\\?\\" + path;
}

bool CreateFolderIfMissing(Session& s, const std::wstring& path) {
  auto st = s.os.fs.CreateFolder(LongPath(path));
  return st.ok() || st.code() == platform::err::kAlreadyExists;
}

bool CreateDirectoryTree(Session& s, const std::wstring& path) {
  std::wstring p = ReplaceAll(path, L"/", L"\\");
  if (StartsWith(p, L"\\\\?\\")) p = p.substr(4);
  while (!p.empty() && p.back() == L'\\') p.pop_back();
  if (p.empty()) return false;
  auto existing = s.os.fs.GetAttributes(LongPath(p));
  if (existing.ok()) return (*existing & attr::kDirectory) != 0;
  size_t slash = p.rfind(L'\\');
  if (slash != std::wstring::npos && slash > 0) {
    std::wstring parent = p.substr(0, slash);
    bool isDrive = parent.size() == 2 && parent[1] == L':';
    if (!isDrive && !CreateDirectoryTree(s, parent)) return false;
  }
  return CreateFolderIfMissing(s, p);
}

bool EnsureWorkingFolders(Session& s) {
  return CreateFolderIfMissing(s, WorkingFolder(s)) && CreateFolderIfMissing(s, TempFolder(s));
}

std::wstring ReadWorkingFile(Session& s, const std::wstring& name, bool unicode) {
  return ReadTextFile(s, WorkingFolder(s) + L"\\" + name, unicode, true);
}

std::wstring ReadTempFile(Session& s, const std::wstring& name, bool unicode) {
  return ReadTextFile(s, TempFolder(s) + L"\\" + name, unicode, true);
}

bool WriteWorkingFile(Session& s, const std::wstring& name, const std::wstring& text, bool append, bool raw,
                      bool unicode) {
  if (!CreateFolderIfMissing(s, WorkingFolder(s))) return false;
  return WriteTextFile(s, append, raw, WorkingFolder(s) + L"\\" + name, text, unicode).ok();
}

bool WriteTempFile(Session& s, const std::wstring& name, const std::wstring& text, bool append, bool raw,
                   bool unicode) {
  if (!EnsureWorkingFolders(s)) return false;
  return WriteTextFile(s, append, raw, TempFolder(s) + L"\\" + name, text, unicode).ok();
}

bool WorkingFileExists(Session& s, const std::wstring& name) {
  auto a = s.os.fs.GetAttributes(WorkingFolder(s) + L"\\" + name);
  return a.ok() && !(*a & attr::kDirectory);
}

int DeleteMatching(Session& s, const std::wstring& folderArg, const std::wstring& pattern, bool removeFolder) {
  if (folderArg.empty()) return 3;
  std::wstring folder = folderArg;
  if (folder.back() != L'\\') folder += L'\\';
  folder = s.os.env.Expand(LongPath(folder), 512);
  auto found = s.os.fs.Find(folder + pattern);
  if (!found.ok()) return -1;
  int status = 0;
  for (auto& e : *found) {
    if (e.name == L"." || e.name == L"..") continue;
    std::wstring full = folder + e.name;
    if (e.attributes & attr::kDirectory) {
      // A sub-folder that cannot even be searched keeps whatever it holds.
      if (DeleteMatching(s, full, L"*.*", false) != 0) status = 1;
      continue;
    }
    s.os.fs.SetAttributes(full, attr::kNormal);
    if (!s.os.fs.DeleteFile(full).ok()) status = 1;
  }
  if (removeFolder) {
    std::wstring self = folder.substr(0, folder.size() - 1);
    s.os.fs.SetAttributes(self, attr::kNormal);
    if (!s.os.fs.RemoveFolder(self).ok()) status = 2;
  }
  return status;
}

void EmptyWorkingSubfolders(Session& s) {
  DeleteMatching(s, ArchiveFolder(s), L"*.*", false);
  DeleteMatching(s, TempFolder(s), L"*.*", false);
}

std::vector<std::wstring> ListFiles(Session& s, const std::wstring& root, const std::wstring& pattern,
                                    bool fullNames) {
  std::vector<std::wstring> result;
  std::deque<std::wstring> queue{root};
  while (!queue.empty()) {
    std::wstring folder = queue.front();
    queue.pop_front();
    bool fallback = false;
    auto found = s.os.fs.Find(folder + L"\\" + pattern);
    if (!found.ok()) {
      found = s.os.fs.Find(folder + L"\\*.*");
      fallback = true;
      if (!found.ok()) continue;
    }
    for (auto& e : *found) {
      if (e.name == L"." || e.name == L"..") continue;
      std::wstring full = folder + L"\\" + e.name;
      if (e.attributes & attr::kDirectory) {
        queue.push_back(full);
        continue;
      }
      if (!fallback) {
        result.push_back(full);
      } else if (WildcardMatch(pattern, e.name)) {
        result.push_back(fullNames ? full : folder);
      }
    }
  }
  return result;
}

std::vector<std::wstring> SplitLineItems(const std::wstring& line) {
  std::vector<std::wstring> items;
  const std::wstring sep = line.find(L'"') != std::wstring::npos ? L"\"" : L" ";
  for (auto& piece : Split(line, sep)) {
    std::wstring t = Trim(piece);
    if (!t.empty()) items.push_back(t);
  }
  return items;
}

}  // namespace corvex
