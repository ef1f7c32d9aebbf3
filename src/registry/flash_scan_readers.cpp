// The live keys of the four trees read into the database's terms (the
// field layouts are described in registry/database_entry.h).
#include <cstring>

#include "base/text.h"
#include "registry/flash_scan.h"
#include "registry/value_text.h"

namespace corvex {

namespace regtype = platform::regtype;
namespace keyaccess = platform::keyaccess;

namespace {

bool Begins(const std::wstring& name, const wchar_t* prefix) {
  size_t n = std::wcslen(prefix);
  return name.size() >= n && name.compare(0, n, prefix) == 0;
}

std::wstring Hex(const std::string& bytes) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

std::wstring Text(const platform::RegistryValue& v) { return ValueDataToText(v.name, v.data, v.type); }

std::vector<platform::RegistryValue> ValuesOf(Session& s, const platform::RegistryKey& key) {
  auto values = s.os.registry.Values(key);
  return values.ok() ? std::move(*values) : std::vector<platform::RegistryValue>{};
}

std::unique_ptr<RegistryKeyDatabaseEntry> ReadCatalog(Session& s, const std::wstring& name,
                                                      const platform::RegistryKey& key, uint32_t result) {
  auto entry = std::make_unique<CatalogKeyDatabaseEntry>(name);
  for (auto& v : ValuesOf(s, key))
    if (Begins(v.name, L"c!")) entry->catalogValues.push_back(v.name);
  entry->schemaResult = result;
  return entry;
}

std::unique_ptr<RegistryKeyDatabaseEntry> ReadDeployment(Session& s, const std::wstring& name,
                                                         const platform::RegistryKey& key, uint32_t result) {
  auto entry = std::make_unique<DeploymentKeyDatabaseEntry>(name);
  for (auto& v : ValuesOf(s, key)) {
    if (v.name == L"appid" && v.type == regtype::kBinary)
      entry->appid = Text(v);
    else if (v.name == L"CatalogThumbprint" && v.type == regtype::kSz)
      entry->thumbprint = Text(v);
    else if (v.type == regtype::kBinary && (Begins(v.name, L"i!") || Begins(v.name, L"p!") || Begins(v.name, L"s!")))
      entry->values.emplace_back(v.name, Hex(v.data));
  }
  entry->schemaResult = result;
  return entry;
}

std::unique_ptr<RegistryKeyDatabaseEntry> ReadComponent(Session& s, const std::wstring& name,
                                                        const platform::RegistryKey& key, uint32_t result) {
  auto entry = std::make_unique<ComponentKeyDatabaseEntry>(name);
  for (auto& v : ValuesOf(s, key)) {
    if (v.name == L"identity")
      entry->identity = Text(v);
    else if (v.name == L"S256H")
      entry->s256h = Hex(v.data);
    else if (Begins(v.name, L"c!") && entry->catalog.empty())
      entry->catalog = v.name;
    else if (Begins(v.name, L"f!"))
      entry->files.emplace_back(ValueDataPair(v.name, Text(v)), Decimal(v.type), Decimal(v.data.size()));
  }
  entry->schemaResult = result;
  return entry;
}

std::unique_ptr<VersionedIndexKeyDatabaseEntry> MakeFamily(EntryKind kind, const std::wstring& name) {
  if (kind == EntryKind::kVersionedIndexVista)
    return std::make_unique<VersionedIndexKeyDatabaseEntry_WindowsVista>(name);
  if (kind == EntryKind::kVersionedIndex7) return std::make_unique<VersionedIndexKeyDatabaseEntry_Windows7>(name);
  return std::make_unique<VersionedIndexKeyDatabaseEntry_Windows8>(name);
}

std::unique_ptr<RegistryKeyDatabaseEntry> ReadFamily(Session& s, EntryKind kind, const std::wstring& name,
                                                     const std::wstring& keyPath, const platform::RegistryKey& key,
                                                     uint32_t result) {
  auto entry = MakeFamily(kind, name);
  for (auto& v : ValuesOf(s, key)) {
    if (v.name == L"SomeUnparsedVersionsExist")
      entry->unparsedVersions = L"1";
    else
      entry->values.emplace_back(v.name, Text(v));
  }
  // Vista's families list no subkeys; later ones their f256! and v! keys.
  if (kind != EntryKind::kVersionedIndexVista) {
    auto& reg = s.os.registry;
    auto subkeys = reg.SubKeyNames(key);
    for (const std::wstring& sub : subkeys.ok() ? *subkeys : std::vector<std::wstring>{}) {
      VersionedIndexKeyDatabaseEntry::SubKey group{sub, {}};
      auto open = reg.OpenKey(platform::RootKey::kLocalMachine, keyPath + L"\\" + sub,
                             keyaccess::kQueryValue | keyaccess::kWow64_64Key);
      if (open.ok())
        for (auto& v : ValuesOf(s, *open)) group.values.emplace_back(v.name, Text(v));
      entry->subkeys.push_back(std::move(group));
    }
  }
  entry->schemaResult = result;
  return entry;
}

}  // namespace

std::unique_ptr<RegistryKeyDatabaseEntry> ReadLiveEntry(Session& s, EntryKind kind, const std::wstring& keyPath,
                                                        const platform::RegistryKey& key, uint32_t schemaResult) {
  const size_t slash = keyPath.rfind(L'\\');
  const std::wstring name = slash == std::wstring::npos ? keyPath : keyPath.substr(slash + 1);
  switch (kind) {
    case EntryKind::kCatalog:
      return ReadCatalog(s, name, key, schemaResult);
    case EntryKind::kDeployment:
      return ReadDeployment(s, name, key, schemaResult);
    case EntryKind::kComponent:
      return ReadComponent(s, name, key, schemaResult);
    default:
      return ReadFamily(s, kind, name, keyPath, key, schemaResult);
  }
}

}  // namespace corvex
