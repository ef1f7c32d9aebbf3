#include "core/system_facts.h"

#include "base/path.h"
#include "base/text.h"

namespace corvex {

static const wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// The entry reads the version and the WOW64 answer before anything else and
// ends the run when either fails, so a failure here breaks that promise:
// value() stops the program rather than letting it act on a made-up answer.
static platform::OsVersion Version(Session& s) { return s.os.system.Version().value(); }

bool IsWow64(Session& s) { return s.os.system.IsWow64().value(); }

std::wstring ArchitectureNameFor(uint16_t architecture, bool x64Form) {
  switch (architecture) {
    case 0: return L"x86";
    case 1: return L"mips";
    case 2: return L"alpha";
    case 3: return L"ppc";
    case 4: return L"shx";
    case 5: return L"arm";
    case 6: return L"ia64";
    case 7: return L"alpha64";
    case 8: return L"msil";
    case 9: return x64Form ? L"x64" : L"amd64";
    case 10: return L"wow64";
    default: return L"UNKNOWN";
  }
}

std::wstring ArchitectureName(Session& s, bool x64Form) {
  return ArchitectureNameFor(s.os.system.ProcessorArchitecture(), x64Form);
}

std::wstring SystemRoot(Session& s) {
  std::wstring root = s.os.env.Expand(L"%SystemRoot%", 512);
  return root.find(L'%') == std::wstring::npos ? root : L"";
}

std::wstring MapSystem32Path(Session& s, const std::wstring& text) {
  return IsWow64(s) ? MapSystem32(text, SystemRoot(s)) : text;
}

std::wstring UnmapSystem32Path(Session& s, const std::wstring& path) { return UnmapSystem32(path, SystemRoot(s)); }

bool IsWindowsVersionOrGreater(Session& s, uint32_t major, uint32_t minor) {
  platform::OsVersion v = Version(s);
  return v.major > major || (v.major == major && v.minor >= minor);
}

bool IsWindows10OrGreater(Session& s) {
  return IsWindowsVersionOrGreater(s, 10, 0) || IsWindowsVersionOrGreater(s, 6, 4);
}

bool IsServer(Session& s) { return Version(s).productType != 1; }

static std::wstring CurrentVersionValue(Session& s, const wchar_t* name, bool missingIsEmpty) {
  auto v = s.os.system.ReadMachineString(kCurrentVersionKey, name);
  if (v.ok()) return *v;
  if (missingIsEmpty && v.code() == platform::err::kFileNotFound) return L"";
  return L"FAILED";
}

std::wstring WindowsVersionString(Session& s) {
  if (IsWindows10OrGreater(s)) return L"10.0";
  return CurrentVersionValue(s, L"CurrentVersion", false);
}

std::wstring CurrentBuild(Session& s) { return CurrentVersionValue(s, L"CurrentBuild", false); }

std::wstring BuildBucket(Session& s) {
  std::wstring build = CurrentBuild(s);
  // A build that could not be read is not an old build.
  if (build.empty() || build.size() > 9 || build.find_first_not_of(L"0123456789") != std::wstring::npos)
    return L"FAILED";
  unsigned long n = std::stoul(build);
  if (n >= 10586) return L"10586";
  if (n >= 10240) return L"10240";
  return L"0";
}

std::wstring UpdateLevel(Session& s) {
  const std::wstring arch = ArchitectureName(s, false);
  const std::wstring base =
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\PackageIndex\\";
  const std::pair<const wchar_t*, const wchar_t*> levels[] = {
      {L"Package_for_KB3000850", L"Update 3"}, {L"Package_for_KB2975719", L"Update 2"},
      {L"Package_for_KB2919355", L"Update 1"}};
  for (auto& [package, name] : levels) {
    auto st = s.os.system.MachineKeyExists(base + package + L"~31bf3856ad364e35~" + arch + L"~~0.0.0.0");
    if (st.ok()) return name;
    if (st.code() != platform::err::kFileNotFound) return L"FAILED";
  }
  return L"";
}

std::wstring ServicePack(Session& s) { return CurrentVersionValue(s, L"CSDVersion", true); }

std::wstring WindowsDisplayName(Session& s, bool detailed) {
  (void)detailed;  // the short form is the same text today
  std::wstring version = WindowsVersionString(s);
  bool workstation = !IsServer(s);
  if (IsWindows10OrGreater(s)) {
    auto defer = s.os.system.ReadMachineDword(L"SOFTWARE\\Microsoft\\WindowsUpdate\\UX\\Settings", L"DeferUpgrade");
    bool deferred = defer.ok() && *defer != 0;
    std::wstring ring;
    auto r = s.os.system.ReadMachineString(L"SOFTWARE\\Microsoft\\WindowsSelfHost\\Applicability", L"Ring");
    if (r.ok())
      ring = *r;
    else if (r.code() != platform::err::kFileNotFound)
      ring = L"FAILED";
    std::wstring ringText;
    if (ring == L"WIF")
      ringText = L" Insider Fast,";
    else if (ring == L"RP")
      ringText = L" Release Preview,";
    else if (!ring.empty())
      ringText = L" Insider Slow,";
    return std::wstring(workstation ? L"Windows 10" : L"Windows Server 10") + ringText + L" Build " +
           CurrentBuild(s) + (deferred ? L" (Updates Deferred)" : L"");
  }
  if (version == L"6.3") return std::wstring(workstation ? L"Windows 8.1" : L"Windows Server 2012 R2") + L" " + UpdateLevel(s);
  if (version == L"6.2") return std::wstring(workstation ? L"Windows 8" : L"Windows Server 2012") + L" " + UpdateLevel(s);
  if (version == L"6.1") return std::wstring(workstation ? L"Windows 7" : L"Windows Server 2008 R2") + L" " + ServicePack(s);
  if (version == L"6.0") return std::wstring(workstation ? L"Windows Vista" : L"Windows Server 2008") + L" " + ServicePack(s);
  return L"Windows " + version;
}

}  // namespace corvex
