// ValueDataToText and the schema check over one value of arbitrary bytes.
// Byte 0 picks the type, byte 1 the value's name and the schema, the rest
// is the data, handed over in a buffer of exactly its size. The text never
// holds more characters than the data allows, and the check answers
// with a code (no pattern may throw out of it or stall it).
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "platform/fake/fake_registry.h"
#include "registry/store_schema.h"
#include "registry/value_text.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_value_text)(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t types[] = {1, 3, 4, 7, 2, 0};
  const uint32_t type = types[data[0] % 6];
  const wchar_t* names[] = {L"p!CBS_x",   L"s!CBS_x",      L"i!CBS_",   L"S256H", L"DV",
                            L"MCP_0123abcd", L"S1H",       L"f!a.dll",  L"identity", L"appid",
                            L"CatalogThumbprint", L"CT",   L"UnstagedFiles", L"", L"f256!a.dll",
                            L"c!x_0123456789abcdef_6.1.0.0_0123456789abcdef"};
  const std::wstring name = names[data[1] % 16];
  const size_t schema = (data[1] / 16) % 4;
  const size_t n = size - 2;
  std::unique_ptr<char[]> bytes(new char[n ? n : 1]);
  if (n) std::memcpy(bytes.get(), data + 2, n);

  std::wstring text;
  ValueDataToText(name, bytes.get(), n, type, text);
  // A DWORD is up to 8 hexadecimal digits; every other text takes a byte a
  // character at least.
  FUZZ_CHECK(type == 4 ? text.size() <= 8 && (n >= 4 || text.empty()) : text.size() <= n,
             "a text longer than its data allows");

  Fake f;
  const std::wstring keys[] = {
      L"COMPONENTS\\CanonicalData\\Catalogs\\" + std::wstring(64, L'a'),
      L"COMPONENTS\\CanonicalData\\Deployments\\x_0123456789abcdef_6.1.0.0_0123456789abcdef",
      L"COMPONENTS\\DerivedData\\Components\\x86_a.b_0123456789abcdef_6.1.0.0_none_0123456789abcdef",
      L"COMPONENTS\\DerivedData\\VersionedIndex\\6.1\\ComponentFamilies\\x86_a_0123456789abcdef_none_0123456789abcdef",
  };
  const std::wstring& key = keys[schema];
  const std::wstring where = schema == 3 ? key + L"\\v!6.1.0.0" : key;
  f.w.registry().SetValue(L"HKLM\\" + where, name, type, std::string(bytes.get(), n));
  auto open = f.s.os.registry.OpenKey(platform::RootKey::kLocalMachine, key, 0x109);
  FUZZ_CHECK(open.ok(), "the key does not open");
  uint32_t code = ValidateKeyAgainstSchema(f.s, *open, key, schema);
  FUZZ_CHECK(code <= 11, "an unknown result code");
  return 0;
}
