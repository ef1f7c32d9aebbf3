#include "analysis/log_analysis.h"
#include "base/path.h"
#include "core/system_facts.h"

namespace corvex {

bool AnalyseManifestDamage(Session& s, const std::wstring& text, std::wstring& log) {
  if (text.find(L"Unable to load manifest for component") == std::wstring::npos) return false;
  s.analysis.dismWanted = true;
  size_t first = text.find(L'"'), last = text.rfind(L'"');
  const std::wstring component = first == std::wstring::npos ? L"" : text.substr(first + 1, last - first - 1);
  const std::wstring ending = L"\"" + component + L"\". See CBS logfile for more details.\r\n";
  if (IsWindowsVersionOrGreater(s, 6, 2)) {
    // The DISM run itself comes later (the fallback); only then is it done.
    log += L"WARNING: DISM repair needed due to manifest damage on component " + ending;
    return true;
  }
  auto attributes = s.os.fs.GetAttributes(AddLongPathPrefix(SystemRoot(s) + L"\\Logs\\CBS\\CheckSUR.log"));
  if (attributes.ok() && !(*attributes & platform::attr::kDirectory))
    log += L"WARNING: Manifest damage on component " + ending;
  else
    log += L"WARNING: SURT execution needed due to manifest damage on component " + ending;
  return true;
}

}  // namespace corvex
