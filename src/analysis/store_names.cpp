#include "analysis/store_names.h"

#include "analysis/store_checks.h"
#include "base/text.h"
#include "core/session_log.h"
#include "script/dispatcher.h"

namespace corvex {

using platform::RootKey;
namespace keyaccess = platform::keyaccess;

const wchar_t kComponentsKey[] = L"COMPONENTS\\DerivedData\\Components";

namespace {

bool IsStoreCharacter(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' ||
         c == L'-' || c == L'_' || c == L'~';
}

bool IsHexOrNone(const std::wstring& t) {
  if (IEquals(t, L"none")) return true;
  if (t.size() != 16) return false;
  for (wchar_t c : t)
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'))) return false;
  return true;
}

bool IsVersion(const std::wstring& t) {
  auto fields = Split(t, L".");
  if (fields.size() != 4) return false;
  for (auto& f : fields) {
    if (f.empty() || f.size() > 5) return false;
    for (wchar_t c : f)
      if (c < L'0' || c > L'9') return false;
  }
  return true;
}

bool IEndsWith(const std::wstring& s, const std::wstring& suffix) {
  return s.size() >= suffix.size() && IEquals(s.substr(s.size() - suffix.size()), suffix);
}

void TraceLookup(Session& s, int location) {
  TraceError(s, L"Failed to get store name from identity name in location " + Decimal(static_cast<uint64_t>(location)));
}

// The identity value: "name, Culture=neutral, Version=..., ...". The name
// is its first field; the others are attribute=value pairs.
std::wstring IdentityName(const std::wstring& identity) { return Trim(identity.substr(0, identity.find(L','))); }

std::wstring Attribute(const std::vector<std::wstring>& fields, const std::wstring& name, bool& found) {
  for (size_t i = 1; i < fields.size(); ++i) {
    size_t eq = fields[i].find(L'=');
    if (eq != std::wstring::npos && IEquals(Trim(fields[i].substr(0, eq)), name)) {
      found = true;
      return Trim(fields[i].substr(eq + 1));
    }
  }
  found = false;
  return L"";
}

bool IsNeutral(const std::wstring& culture) {
  return culture.empty() || IEquals(culture, L"neutral") || IEquals(culture, L"none");
}

// 10000 + the code when the Components key cannot be read.
uint32_t BuildIndex(Session& s, StoreIndex& index) {
  std::vector<std::wstring> names;
  if (uint32_t code = ListComponentKeys(s, TraceLookup, names)) return 10000 + code;
  auto& reg = s.os.registry;
  for (const std::wstring& keyName : names) {
    if (!IsStoreName(keyName)) continue;
    auto key = reg.OpenKey(RootKey::kLocalMachine, std::wstring(kComponentsKey) + L"\\" + keyName,
                           keyaccess::kQueryValue | keyaccess::kWow64_64Key);
    if (!key.ok()) {
      TraceLookup(s, 3);
      continue;
    }
    auto identity = reg.QueryValue(*key, L"identity");
    if (identity.ok() && identity->type == platform::regtype::kBinary) {
      std::wstring text = FromLatin1(identity->data);
      text = text.substr(0, text.find(L'\0'));
      index.byComponent[ToLower(IdentityName(text))].push_back({keyName, text});
    }
    if (!key->Close().ok()) TraceLookup(s, 4);
  }
  return 0;
}

}  // namespace

uint32_t ListComponentKeys(Session& s, void (*trace)(Session&, int), std::vector<std::wstring>& names) {
  std::wstring ignored;
  if (!RunDirective(s, L"LoadHive::", {L"COMPONENTS"}, L"", ignored)) trace(s, 1);
  auto& reg = s.os.registry;
  auto components = reg.OpenKey(RootKey::kLocalMachine, kComponentsKey,
                                keyaccess::kEnumerateSubKeys | keyaccess::kQueryValue | keyaccess::kWow64_64Key);
  auto listed = components.ok() ? reg.SubKeyNames(*components)
                                : platform::Result<std::vector<std::wstring>>(platform::Error{components.code()});
  if (!listed.ok()) {
    trace(s, components.ok() ? 3 : 2);
    return listed.code();
  }
  names = std::move(*listed);
  return 0;
}

bool SplitStoreName(const std::wstring& keyName, StoreNameParts& parts) {
  auto fields = Split(keyName, L"_");
  if (fields.size() < 6) return false;
  const size_t n = fields.size();
  parts.architecture = fields[0];
  parts.hash = fields[n - 1];
  parts.culture = fields[n - 2];
  parts.version = fields[n - 3];
  parts.publicKeyToken = fields[n - 4];
  std::vector<std::wstring> name(fields.begin() + 1, fields.begin() + static_cast<std::ptrdiff_t>(n - 4));
  parts.name = Join(name, L"_");
  return true;
}

bool IsStoreName(const std::wstring& keyName) {
  if (keyName.empty() || keyName.size() > 200 || keyName[0] == L'.') return false;
  for (wchar_t c : keyName)
    if (!IsStoreCharacter(c)) return false;
  StoreNameParts p;
  if (!SplitStoreName(keyName, p)) return false;
  return !p.architecture.empty() && !p.name.empty() && IsHexOrNone(p.publicKeyToken) && IsVersion(p.version) &&
         !p.culture.empty() && !p.hash.empty();
}

bool MatchesShortened(const std::wstring& shortened, const std::wstring& full) {
  size_t dots = shortened.find(L"..");
  if (dots == std::wstring::npos) return IEquals(shortened, full);
  const std::wstring head = shortened.substr(0, dots), tail = shortened.substr(dots + 2);
  return full.size() >= head.size() + tail.size() && IStartsWith(full, head) && IEndsWith(full, tail);
}

bool IdentityDescribes(const std::wstring& identity, const std::wstring& name, const std::wstring& version,
                       const std::wstring& architecture, const std::wstring& culture,
                       const std::wstring& publicKeyToken) {
  auto fields = Split(identity, L",");
  if (!IEquals(Trim(fields[0]), name)) return false;
  bool found = false;
  if (Attribute(fields, L"Version", found) != version || !found) return false;
  if (!IEquals(Attribute(fields, L"ProcessorArchitecture", found), architecture) || !found) return false;
  std::wstring ownCulture = Attribute(fields, L"Culture", found);
  if (IsNeutral(ownCulture) != IsNeutral(culture)) return false;
  if (!IsNeutral(culture) && !IEquals(ownCulture, culture)) return false;
  return IEquals(Attribute(fields, L"PublicKeyToken", found), publicKeyToken);
}

StoreNames StoreNamesFromIdentity(Session& s, const std::wstring& name, const std::wstring& version,
                                  const std::wstring& architecture, const std::wstring& culture,
                                  const std::wstring& publicKeyToken) {
  StoreNames result;
  if (!s.analysis.storeIndex) {
    auto index = std::make_shared<StoreIndex>();
    result.returnCode = BuildIndex(s, *index);
    if (result.returnCode != 0) return result;
    s.analysis.storeIndex = index;
  }
  auto it = s.analysis.storeIndex->byComponent.find(ToLower(name));
  if (it == s.analysis.storeIndex->byComponent.end()) return result;
  for (const StoreIndexEntry& e : it->second) {
    StoreNameParts parts;
    // The key's own name must be that of the component as well.
    if (!SplitStoreName(e.keyName, parts) || !MatchesShortened(parts.name, name)) continue;
    if (IdentityDescribes(e.identity, name, version, architecture, culture, publicKeyToken))
      result.names.push_back(e.keyName);
  }
  return result;
}

}  // namespace corvex
