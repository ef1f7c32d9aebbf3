// An export file as reg.exe may leave it on a damaged machine, read back by
// RegistryExport:: for the session log.
#include "fuzz_support.h"
#include "platform/fake/fake_registry.h"
#include "platform/fake/fake_security.h"
#include "registry/registry_access.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_registry_export)(const uint8_t* data, size_t size) {
  Fake f;
  const std::string bytes = Bytes(data, size);
  f.w.registry().AddKey(L"HKLM\\SOFTWARE\\Test");
  f.w.OnProcess(L"reg.exe", [&](const platform::ProcessRequest& r) {
    auto args = fake::FakeSecurity::SplitCommandLine(r.commandLine);
    platform::ProcessOutcome out;
    out.exitCode = args.size() == 4 && f.w.platform().fs.WriteFile(args[2], bytes, false).ok() ? 0 : 1;
    return out;
  });
  std::wstring report;
  bool ok = RegistryExportDirective(f.s, {L"[HKLM\\SOFTWARE\\Test]"}, L"", report);
  const std::wstring success = L"Successfully exported registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Test.\r\n\r\n";
  FUZZ_CHECK(ok && report.compare(0, success.size(), success) == 0, "an export that ran was not reported");
  FUZZ_CHECK(report.size() >= 4 && report.compare(report.size() - 4, 4, L"\r\n\r\n") == 0, "a report cut short");
  FUZZ_CHECK(f.w.registry().SecurityOf(L"HKLM\\SOFTWARE\\Test").find(L"WD") == std::wstring::npos,
             "a backup opened the key up");
  return 0;
}
