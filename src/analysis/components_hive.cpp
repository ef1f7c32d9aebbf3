#include "analysis/store_checks.h"
#include "base/path.h"
#include "core/session_log.h"
#include "core/system_facts.h"

namespace corvex {

using platform::RootKey;

namespace {

constexpr uint64_t kMinimumHiveSize = 0x600000;  // 6 MiB
constexpr wchar_t kScratchKey[] = L"CorvexComponentsTest";

bool SwitchPrivilege(Session& s, const std::wstring& name, bool enable) {
  auto& sec = s.os.security;
  auto token = sec.OpenProcessToken();
  auto luid = token.ok() ? sec.LookupPrivilege(name) : platform::Result<uint64_t>(platform::Error{token.code()});
  platform::Status st = luid.ok() ? sec.AdjustPrivilege(*token, *luid, enable) : luid.status();
  if (!st.ok()) TraceErrorCode(s, st.code(), L"Failed to switch " + name + L" for the hive tests: ");
  return st.ok();
}

std::wstring Warning(const std::wstring& test) {
  return L"\r\nWARNING: Components hive failed " + test + L" and may be corrupt.\r\n\r\n";
}

}  // namespace

bool HiveFileLoads(Session& s, const std::wstring& file) {
  auto& reg = s.os.registry;
  SwitchPrivilege(s, L"SeRestorePrivilege", true);
  SwitchPrivilege(s, L"SeBackupPrivilege", true);
  auto loaded = reg.LoadHive(kScratchKey, file);
  if (loaded.ok()) reg.UnloadHive(kScratchKey);
  else TraceErrorCode(s, loaded.code(), L"Hive load test of " + file + L" failed with error code ");
  SwitchPrivilege(s, L"SeBackupPrivilege", false);
  SwitchPrivilege(s, L"SeRestorePrivilege", false);
  return loaded.ok();
}

void TestComponentsHive(Session& s, std::wstring& log) {
  s.analysis.storeIndex.reset();
  auto& reg = s.os.registry;
  SwitchPrivilege(s, L"SeRestorePrivilege", true);
  SwitchPrivilege(s, L"SeBackupPrivilege", true);
  reg.UnloadHive(L"COMPONENTS");  // loaded or not, the tests need it free

  // The native hive: Sysnative under WOW64. RegLoadKey takes the plain path.
  const std::wstring hive = MapSystem32Path(s, SystemRoot(s) + L"\\System32\\config\\COMPONENTS");
  const std::wstring file = AddLongPathPrefix(hive);
  uint32_t readCode = 0;
  {
    auto opened = s.os.fs.Open(file, platform::access::kRead, platform::share::kDelete,
                               platform::Disposition::kOpenExisting);
    if (opened.ok()) {
      auto size = (*opened)->Size();
      if (!size.ok()) readCode = size.code();
      else if (*size < kMinimumHiveSize) log += Warning(L"size test");
    } else {
      readCode = opened.code();
    }
  }
  auto loaded = reg.LoadHive(kScratchKey, hive);
  if (loaded.ok()) reg.UnloadHive(kScratchKey);
  const uint32_t loadCode = loaded.code();
  const bool missing = readCode == platform::err::kFileNotFound || loadCode == platform::err::kFileNotFound ||
                       readCode == platform::err::kPathNotFound;
  if (missing) {
    log += Warning(L"existence test");
  } else {
    // Held by another process (sharing violation) is how a hive in use looks.
    if (loadCode != 0 && loadCode != platform::err::kSharingViolation) log += Warning(L"load test");
    if (readCode != 0 && readCode != platform::err::kSharingViolation)
      log += L"\r\nWARNING: Components hive failed file read test with error code " + ErrorCodeName(readCode) +
             L" and may be corrupt.\r\n\r\n";
    auto reloaded = reg.LoadHive(L"COMPONENTS", hive);
    // Still loaded (Windows would not let it go) is as good as reloaded.
    if (!reloaded.ok() && !reg.OpenKey(RootKey::kLocalMachine, L"COMPONENTS", platform::keyaccess::kRead |
                                                                                   platform::keyaccess::kWow64_64Key)
                                .ok())
      log += L"\r\nWARNING: Components hive failed final reload test with error code " +
             ErrorCodeName(reloaded.code()) + L" and may be corrupt.\r\n\r\n";
  }
  SwitchPrivilege(s, L"SeBackupPrivilege", false);
  SwitchPrivilege(s, L"SeRestorePrivilege", false);
}

}  // namespace corvex
