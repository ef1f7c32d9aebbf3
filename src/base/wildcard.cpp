#include "base/wildcard.h"

#include "base/text.h"

namespace corvex {

static bool Match(const std::wstring& p, size_t pi, const std::wstring& n, size_t ni) {
  // Iterative star matching with one backtrack point: linear enough for names.
  size_t starP = std::wstring::npos, starN = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == L'?' || IEquals(std::wstring(1, p[pi]), std::wstring(1, n[ni])))) {
      ++pi;
      ++ni;
    } else if (pi < p.size() && p[pi] == L'*') {
      starP = pi++;
      starN = ni;
    } else if (starP != std::wstring::npos) {
      pi = starP + 1;
      ni = ++starN;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == L'*') ++pi;
  return pi == p.size();
}

bool WildcardMatch(const std::wstring& pattern, const std::wstring& name) {
  if (pattern == L"*.*" || pattern == L"*") return true;
  if (Match(pattern, 0, name, 0)) return true;
  // "name.*" also matches "name" without an extension, as on Windows.
  if (EndsWith(pattern, L".*") && name.find(L'.') == std::wstring::npos)
    return Match(pattern.substr(0, pattern.size() - 2), 0, name, 0);
  return false;
}

}  // namespace corvex
