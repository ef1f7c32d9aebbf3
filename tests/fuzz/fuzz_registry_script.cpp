// Registry-file text from a stranger's script: cut by the dispatcher,
// imported block by block by RegistryScript:: through the emulated reg.exe,
// whose own reading of the text is checked to write back what it read.
#include "core/text_reader.h"
#include "fuzz_support.h"
#include "app/directive_table.h"
#include "platform/fake/fake_registry.h"
#include "platform/fake/fake_security.h"
#include "script/dispatcher.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_registry_script)(const uint8_t* data, size_t size) {
  const std::wstring text = DecodeText(Bytes(data, size));

  // What reg.exe reads, it writes back as the same values.
  std::vector<fake::RegFileBlock> blocks;
  if (fake::ParseRegFile(text, blocks)) {
    for (auto& b : blocks)
      for (auto& v : b.values) {
        if (v.remove) continue;
        std::vector<fake::RegFileBlock> again;
        FUZZ_CHECK(fake::ParseRegFile(L"REGEDIT4\r\n[K]\r\n" + fake::RegFileValueLine(v.value), again) &&
                       again.size() == 1 && again[0].values.size() == 1 &&
                       again[0].values[0].value.data == v.value.data &&
                       again[0].values[0].value.type == v.value.type,
                   "a value line written out reads back differently");
      }
  }

  Fake f;
  auto& reg = f.w.registry();
  reg.Protect(L"HKLM\\SOFTWARE\\Test");
  reg.AddKey(L"HKCU\\Software\\Fuzz");
  const std::wstring before = reg.SecurityOf(L"HKLM\\SOFTWARE\\Test");
  Dispatch(f.s, ProgramDirectives(), L"RegistryScript::\r\n" + text, L"");
  FUZZ_CHECK(reg.OpenKeys() == 0, "a key left open");
  FUZZ_CHECK(f.w.security().enabledPrivileges == std::set<std::wstring>{L"SeChangeNotifyPrivilege"},
             "a privilege left on");
  // Opened up for a block, a key gets its security back after it (unless
  // the block deleted it).
  if (reg.KeyExists(L"HKLM\\SOFTWARE\\Test") && reg.SecurityOf(L"HKLM\\SOFTWARE\\Test") != before)
    FUZZ_CHECK(f.s.log.find(L"Failed") != std::wstring::npos, "a key's security changed without a failure said");
  return 0;
}
