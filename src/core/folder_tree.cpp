#include "core/folder_tree.h"

#include "base/path.h"

namespace corvex {

namespace {

void RemoveTreeBelow(Session& s, const std::wstring& path, int depth) {
  namespace attr = platform::attr;
  auto found = s.os.fs.Find(path + L"\\*");
  if (found.ok() && depth < 16) {
    for (const auto& e : *found) {
      if (e.name == L"." || e.name == L"..") continue;
      const std::wstring full = path + L"\\" + e.name;
      if ((e.attributes & attr::kDirectory) && !(e.attributes & attr::kReparsePoint)) {
        RemoveTreeBelow(s, full, depth + 1);
      } else if (e.attributes & attr::kDirectory) {
        s.os.fs.RemoveFolder(full);
      } else {
        s.os.fs.SetAttributes(full, attr::kNormal);
        s.os.fs.DeleteFile(full);
      }
    }
  }
  s.os.fs.RemoveFolder(path);
}

}  // namespace

void DeleteFileIfThere(Session& s, const std::wstring& path) { s.os.fs.DeleteFile(AddLongPathPrefix(path)); }

void RemoveTree(Session& s, const std::wstring& path) { RemoveTreeBelow(s, path, 0); }

platform::Status SwapInFolder(Session& s, const std::wstring& fresh, const std::wstring& folder, OldFolder keep) {
  const std::wstring old = folder + L".old";
  RemoveTree(s, old);
  const bool hadOld = s.os.fs.GetAttributes(folder).ok();
  platform::Status aside = hadOld ? s.os.fs.MoveFile(folder, old, false) : platform::Status{};
  if (!aside.ok()) return aside;
  platform::Status in = s.os.fs.MoveFile(fresh, folder, false);
  if (!in.ok()) {
    if (hadOld) s.os.fs.MoveFile(old, folder, false);
    return in;
  }
  if (hadOld && keep == OldFolder::kRemove) RemoveTree(s, old);
  return in;
}

void FinishInterruptedSwap(Session& s, const std::wstring& folder) {
  const std::wstring old = folder + L".old";
  if (!s.os.fs.GetAttributes(old).ok()) return;
  if (s.os.fs.GetAttributes(folder).ok())
    RemoveTree(s, old);
  else
    s.os.fs.MoveFile(old, folder, false);
}

platform::Status RevertFolderSwap(Session& s, const std::wstring& fresh, const std::wstring& folder) {
  const std::wstring old = folder + L".old";
  platform::Status out = s.os.fs.MoveFile(folder, fresh, false);
  if (!out.ok()) return out;
  if (!s.os.fs.GetAttributes(old).ok()) return out;
  return s.os.fs.MoveFile(old, folder, false);
}

}  // namespace corvex
