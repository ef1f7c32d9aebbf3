#include "core/working_folders.h"

#include <deque>

#include "base/path.h"
#include "base/text.h"
#include "base/wildcard.h"

namespace corvex {

namespace attr = platform::attr;

platform::Result<std::wstring> FindLocalAppData(Session& s) {
  if (!s.localAppData.empty()) return s.localAppData;
  auto folder = s.os.env.GetKnownFolder(platform::KnownFolder::kLocalAppData);
  if (!folder.ok()) return folder;
  if (folder->empty()) return platform::Error{platform::err::kPathNotFound};
  s.localAppData = *folder;
  return folder;
}

// The entry finds the folder before anything else and ends the run when
// there is none; from then on it is kept. Without that check an empty
// answer would put the working folder at "\Tallwen" on the current drive,
// so value() stops the program instead.
static std::wstring LocalAppData(Session& s) { return FindLocalAppData(s).value(); }

std::wstring WorkingFolder(Session& s) { return LocalAppData(s) + L"\\Tallwen"; }
std::wstring TempFolder(Session& s) { return WorkingFolder(s) + L"\\Temp"; }
std::wstring ArchiveFolder(Session& s) { return WorkingFolder(s) + L"\\Archive"; }

platform::Status CreateFolderIfMissing(Session& s, const std::wstring& path) {
  auto st = s.os.fs.CreateFolder(AddLongPathPrefix(path));
  return st.code() == platform::err::kAlreadyExists ? platform::Status::Ok() : st;
}

platform::Status CreateFolderChain(platform::FileSystem& fs, const std::wstring& path) {
  std::wstring p = StripLongPathPrefix(ReplaceAll(path, L"/", L"\\"));
  while (!p.empty() && p.back() == L'\\') p.pop_back();
  const size_t root = PathRootLength(p);
  if (p.size() <= root) return platform::Error{platform::err::kInvalidName};
  // Walk up to the first folder that is there, then create downwards: no
  // recursion, however deep the path.
  std::vector<std::wstring> missing;
  for (std::wstring at = p;;) {
    auto a = fs.GetAttributes(AddLongPathPrefix(at));
    if (a.ok()) {
      if (!(*a & attr::kDirectory)) return platform::Error{platform::err::kFileExists};
      break;
    }
    missing.push_back(at);
    size_t slash = at.rfind(L'\\');
    if (slash == std::wstring::npos || slash <= root) break;
    at.resize(slash);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    auto st = fs.CreateFolder(AddLongPathPrefix(*it));
    if (st.ok()) continue;
    if (st.code() != platform::err::kAlreadyExists) return st;
    auto a = fs.GetAttributes(AddLongPathPrefix(*it));
    if (!a.ok() || !(*a & attr::kDirectory)) return platform::Error{platform::err::kFileExists};
  }
  return platform::Status::Ok();
}

platform::Status CreateFolderChain(Session& s, const std::wstring& path) { return CreateFolderChain(s.os.fs, path); }

platform::Status EnsureWorkingFolders(Session& s) {
  auto st = CreateFolderIfMissing(s, WorkingFolder(s));
  return st.ok() ? CreateFolderIfMissing(s, TempFolder(s)) : st;
}

platform::Result<std::wstring> ReadWorkingFile(Session& s, const std::wstring& name) {
  return ReadTextFile(s, WorkingFolder(s) + L"\\" + name);
}

platform::Result<std::wstring> ReadTempFile(Session& s, const std::wstring& name) {
  return ReadTextFile(s, TempFolder(s) + L"\\" + name);
}

platform::Status WriteWorkingFile(Session& s, const std::wstring& name, const std::wstring& text,
                                  TextEncoding encoding, WriteMode mode) {
  auto made = CreateFolderIfMissing(s, WorkingFolder(s));
  if (!made.ok()) return made;
  return WriteTextFile(s, WorkingFolder(s) + L"\\" + name, text, encoding, mode);
}

platform::Status WriteTempFile(Session& s, const std::wstring& name, const std::wstring& text, TextEncoding encoding,
                               WriteMode mode) {
  auto made = EnsureWorkingFolders(s);
  if (!made.ok()) return made;
  return WriteTextFile(s, TempFolder(s) + L"\\" + name, text, encoding, mode);
}

bool WorkingFileExists(Session& s, const std::wstring& name) {
  auto a = s.os.fs.GetAttributes(WorkingFolder(s) + L"\\" + name);
  return a.ok() && !(*a & attr::kDirectory);
}

DeleteResult DeleteMatching(Session& s, const std::wstring& folderArg, const std::wstring& pattern,
                            FolderAfter after) {
  if (folderArg.empty()) return DeleteResult::kNoFolder;
  std::wstring folder = folderArg;
  if (folder.back() != L'\\') folder += L'\\';
  folder = AddLongPathPrefix(s.os.env.Expand(folder, 512));
  auto found = s.os.fs.Find(folder + pattern);
  if (!found.ok()) return DeleteResult::kNothingMatched;
  DeleteResult status = DeleteResult::kAllDeleted;
  for (auto& e : *found) {
    if (e.name == L"." || e.name == L"..") continue;
    std::wstring full = folder + e.name;
    if ((e.attributes & attr::kDirectory) && (e.attributes & attr::kReparsePoint)) {
      // A junction goes as a link: what it leads to may be anywhere, the
      // Windows folder included, and is not ours to empty.
      if (!s.os.fs.RemoveFolder(full).ok()) status = DeleteResult::kSomethingStayed;
      continue;
    }
    if (e.attributes & attr::kDirectory) {
      // A sub-folder that cannot even be searched keeps whatever it holds.
      if (DeleteMatching(s, full, L"*.*") != DeleteResult::kAllDeleted) status = DeleteResult::kSomethingStayed;
      continue;
    }
    s.os.fs.SetAttributes(full, attr::kNormal);
    if (!s.os.fs.DeleteFile(full).ok()) status = DeleteResult::kSomethingStayed;
  }
  if (after == FolderAfter::kRemove) {
    std::wstring self = folder.substr(0, folder.size() - 1);
    s.os.fs.SetAttributes(self, attr::kNormal);
    if (!s.os.fs.RemoveFolder(self).ok()) status = DeleteResult::kFolderStayed;
  }
  return status;
}

void EmptyWorkingSubfolders(Session& s) {
  DeleteMatching(s, ArchiveFolder(s), L"*.*");
  DeleteMatching(s, TempFolder(s), L"*.*");
}

void RemoveEmptyWorkingFolders(Session& s) {
  for (const std::wstring& folder : {ArchiveFolder(s), TempFolder(s), WorkingFolder(s)})
    s.os.fs.RemoveFolder(AddLongPathPrefix(folder));
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
