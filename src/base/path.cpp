#include "base/path.h"

#include "base/text.h"

namespace corvex {

static const wchar_t kUncPrefix[] = L"\\\\?\\UNC\\";

static bool IsDrivePath(const std::wstring& p) {
  return p.size() >= 3 && p[1] == L':' && p[2] == L'\\' &&
         ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z'));
}

bool HasLongPathPrefix(const std::wstring& path) { return StartsWith(path, kLongPathPrefix); }

std::wstring PathLeafName(const std::wstring& path) {
  std::wstring p = path;
  while (p.size() > 1 && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
  const size_t slash = p.find_last_of(L"\\/");
  return slash == std::wstring::npos ? p : p.substr(slash + 1);
}

std::wstring AddLongPathPrefix(const std::wstring& path) {
  if (HasLongPathPrefix(path)) return path;
  if (IsDrivePath(path)) return kLongPathPrefix + path;
  // "\\server\share", but not "\\.\device" or "\\?\".
  if (StartsWith(path, L"\\\\") && path.size() > 2 && path[2] != L'.' && path[2] != L'?' && path[2] != L'\\')
    return kUncPrefix + path.substr(2);
  return path;
}

std::wstring StripLongPathPrefix(const std::wstring& path) {
  if (IStartsWith(path, kUncPrefix)) return L"\\\\" + path.substr(8);
  if (HasLongPathPrefix(path)) return path.substr(4);
  return path;
}

namespace {

// "C:\Windows" without trailing backslashes; empty unless a drive path.
std::wstring WindowsFolder(const std::wstring& systemRoot) {
  std::wstring root = StripLongPathPrefix(systemRoot);
  while (root.size() > 3 && root.back() == L'\\') root.pop_back();
  return IsDrivePath(root) && root.size() > 3 ? root : L"";
}

// Where `folder` (the name of the alias) ends in `p` when `p` begins with
// root + "\" + folder as a whole path component; npos otherwise.
size_t AfterAlias(const std::wstring& p, const std::wstring& root, const std::wstring& folder) {
  if (root.empty()) return std::wstring::npos;
  const std::wstring head = root + L"\\" + folder;
  if (!IStartsWith(p, head)) return std::wstring::npos;
  if (p.size() > head.size() && p[head.size()] != L'\\') return std::wstring::npos;
  return head.size();
}

std::wstring Component(const std::wstring& p, size_t start) {
  if (start >= p.size()) return L"";
  size_t end = p.find(L'\\', start);
  return p.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

bool ExemptFromRedirection(const std::wstring& p, size_t afterSystem32) {
  if (afterSystem32 >= p.size()) return false;
  size_t start = afterSystem32 + 1;
  const std::wstring next = Component(p, start);
  for (const wchar_t* exempt : {L"catroot", L"catroot2", L"DriverStore", L"LogFiles", L"spool"})
    if (IEquals(next, exempt)) return true;
  return IEquals(next, L"drivers") && IEquals(Component(p, start + next.size() + 1), L"etc");
}

// Replaces the alias folder of `path` (a "\\?\" prefix kept) when `rewrite`
// accepts it.
template <class Accept>
std::wstring Rewrite(const std::wstring& path, const std::wstring& systemRoot, const std::wstring& from,
                     const std::wstring& to, Accept accept) {
  const bool prefixed = HasLongPathPrefix(path) && !IStartsWith(path, kUncPrefix);
  const std::wstring p = prefixed ? path.substr(4) : path;
  const std::wstring root = WindowsFolder(systemRoot);
  const size_t after = AfterAlias(p, root, from);
  if (after == std::wstring::npos || !accept(p, after)) return path;
  std::wstring out = p.substr(0, root.size() + 1) + to + p.substr(after);
  return prefixed ? kLongPathPrefix + out : out;
}

}  // namespace

std::wstring MapSystem32(const std::wstring& text, const std::wstring& systemRoot) {
  return Rewrite(text, systemRoot, L"System32", L"Sysnative",
                 [](const std::wstring& p, size_t after) { return !ExemptFromRedirection(p, after); });
}

std::wstring UnmapSystem32(const std::wstring& path, const std::wstring& systemRoot) {
  return Rewrite(path, systemRoot, L"Sysnative", L"System32", [](const std::wstring&, size_t) { return true; });
}

size_t PathRootLength(const std::wstring& p) {
  if (p.size() >= 2 && p[1] == L':') return 2;
  if (p.size() >= 2 && p[0] == L'\\' && p[1] == L'\\') {
    size_t server = p.find(L'\\', 2);
    if (server == std::wstring::npos) return p.size();
    size_t share = p.find(L'\\', server + 1);
    return share == std::wstring::npos ? p.size() : share;
  }
  return 0;
}

}  // namespace corvex
