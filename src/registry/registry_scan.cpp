#include "registry/registry_scan.h"

#include "base/text.h"
#include "core/console_output.h"
#include "core/session_log.h"
#include "registry/registry_access.h"

namespace corvex {

namespace keyaccess = platform::keyaccess;
namespace regtype = platform::regtype;
using platform::RegistryKey;
using platform::RegistryValue;
using platform::RootKey;

namespace {

constexpr uint32_t kScanAccess = keyaccess::kQueryValue | keyaccess::kEnumerateSubKeys | keyaccess::kWow64_64Key;
constexpr size_t kMaxValueName = 255;
constexpr size_t kMaxScanData = 2046;
constexpr size_t kMaxKeyName = 256;
constexpr size_t kShown = 256;

// REG_SZ data as text, no further than the size Windows returned: UTF-16
// when its second byte is zero, else one character a byte; it ends at its
// first NUL, if it has one.
std::wstring StringData(const std::string& data) {
  std::wstring text;
  if (data.size() > 1 && data[1] == '\0') {
    text = FromUtf16Le(data.substr(0, data.size() & ~size_t{1}));
  } else {
    for (char c : data) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  }
  size_t nul = text.find(L'\0');
  return nul == std::wstring::npos ? text : text.substr(0, nul);
}

struct Findings {
  std::vector<std::wstring> keys;
  std::vector<std::pair<std::wstring, std::wstring>> names;
  struct Datum {
    std::wstring key, name, text;
  };
  std::vector<Datum> data;
};

void Scan(Session& s, const RegistryKey& key, const std::wstring& path, Findings& found) {
  auto& reg = s.os.registry;
  size_t slash = path.rfind(L'\\');
  if (IsOutsideAllowedCharacters(slash == std::wstring::npos ? path : path.substr(slash + 1)))
    found.keys.push_back(path);
  auto values = reg.Values(key);
  if (values.ok()) {
    for (auto& v : *values) {
      if (v.name.size() > kMaxValueName || v.data.size() > kMaxScanData) continue;
      if (IsOutsideAllowedCharacters(v.name)) found.names.emplace_back(path, v.name);
      if (v.type != regtype::kSz) continue;
      std::wstring text = StringData(v.data);
      if (IsOutsideAllowedCharacters(text)) found.data.push_back({path, v.name, text});
    }
  }
  auto subkeys = reg.SubKeyNames(key);
  if (!subkeys.ok()) return;
  for (auto& name : *subkeys) {
    if (name.size() > kMaxKeyName) continue;
    auto sub = reg.OpenKey(RootKey::kLocalMachine, path + L"\\" + name, kScanAccess);
    if (sub.ok()) Scan(s, *sub, path + L"\\" + name, found);
  }
}

void TraceLocation(Session& s, int location) {
  TraceError(s, L"Failed to trace manifest in location " + Decimal(static_cast<uint64_t>(location)));
}

void CloseTraced(Session& s, RegistryKey& key, int location) {
  if (!key.Close().ok()) TraceLocation(s, location);
}

}  // namespace

std::wstring MakeDisplayable(const std::wstring& text, bool displayUnicode) {
  std::wstring out = text;
  for (auto& c : out)
    if (displayUnicode ? c == L'\0' : !IsAllowedRegistryCharacter(c)) c = L'?';
  return out;
}

bool BitShiftDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report) {
  Print(s, L"Please be patient, this directive may take several minutes to complete.\n");
  const bool unicode = !lines.empty() && IEquals(Trim(lines[0]), L"Display Unicode");
  std::wstring hiveReport;
  const bool ok = LoadHiveDirective(s, {L"COMPONENTS", L"SCHEMA"}, archive, hiveReport);
  Findings found;
  for (const wchar_t* tree :
       {L"COMPONENTS", L"SCHEMA", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing"}) {
    auto key = s.os.registry.OpenKey(RootKey::kLocalMachine, tree, kScanAccess);
    if (key.ok()) Scan(s, *key, tree, found);
  }
  if (!ok) report += Trim(hiveReport) + L"\r\n\r\n";
  if (found.keys.empty() && found.names.empty() && found.data.empty()) {
    report += L"No corruptions detected.\r\n";
    return ok;
  }
  const std::wstring root = L"HKEY_LOCAL_MACHINE\\";
  for (auto& k : found.keys) report += L"Corrupt Registry Key Detected: " + root + k + L"\r\n";
  for (auto& [k, name] : found.names)
    report += L"Corrupt Registry Value Detected: " + root + k + L":" + MakeDisplayable(name.substr(0, kShown), unicode) +
              L"\r\n";
  for (auto& d : found.data)
    report += L"Corrupt Registry Data Detected: " + root + d.key + L":" + d.name + L":" +
              MakeDisplayable(d.text.substr(0, kShown), unicode) + L"\r\n";
  return ok;
}

int TraceComponent(Session& s, const std::wstring& component, std::wstring& text, uint32_t& conditionalError) {
  auto& reg = s.os.registry;
  std::wstring ignored;
  if (!LoadHiveDirective(s, {L"COMPONENTS"}, L"", ignored)) TraceLocation(s, 1);

  auto key = reg.OpenKey(RootKey::kLocalMachine, L"COMPONENTS\\DerivedData\\Components\\" + component,
                         keyaccess::kQueryValue);
  if (!key.ok()) {
    TraceLocation(s, 2);
    conditionalError = key.code();
    return 1;
  }
  std::wstring catalogValue;
  auto values = reg.Values(*key);
  for (auto& v : values.value_or({}))
    if (v.type == regtype::kBinary && v.name.size() <= kMaxValueName && v.name.size() >= 2 &&
        StartsWith(v.name, L"c!")) {
      catalogValue = v.name;
      break;
    }
  CloseTraced(s, *key, 3);
  if (catalogValue.empty()) {
    TraceLocation(s, 4);
    return -1;
  }

  auto catalogs = reg.OpenKey(RootKey::kLocalMachine, L"COMPONENTS\\CanonicalData\\Catalogs",
                              keyaccess::kEnumerateSubKeys);
  if (!catalogs.ok()) {
    TraceLocation(s, 5);
    conditionalError = catalogs.code();
    return 2;
  }
  std::wstring catalog;
  for (auto& name : reg.SubKeyNames(*catalogs).value_or({})) {
    auto sub = reg.OpenKey(RootKey::kLocalMachine, L"COMPONENTS\\CanonicalData\\Catalogs\\" + name,
                           keyaccess::kQueryValue);
    if (!sub.ok()) {
      TraceLocation(s, 6);
      continue;
    }
    for (auto& v : reg.Values(*sub).value_or({}))
      if (v.name == catalogValue) catalog = name;
    CloseTraced(s, *sub, 7);
    if (!catalog.empty()) break;
  }
  CloseTraced(s, *catalogs, 8);
  if (catalog.empty()) {
    TraceLocation(s, 9);
    return -2;
  }

  const std::wstring deploymentsPath = L"COMPONENTS\\CanonicalData\\Deployments";
  auto deployments = reg.OpenKey(RootKey::kLocalMachine, deploymentsPath, keyaccess::kEnumerateSubKeys);
  if (!deployments.ok()) {
    TraceLocation(s, 10);
    conditionalError = deployments.code();
    return 3;
  }
  for (auto& name : reg.SubKeyNames(*deployments).value_or({})) {
    auto sub = reg.OpenKey(RootKey::kLocalMachine, deploymentsPath + L"\\" + name, keyaccess::kQueryValue);
    if (!sub.ok()) {
      TraceLocation(s, 11);
      continue;
    }
    auto thumbprint = reg.QueryValue(*sub, L"CatalogThumbprint");
    if (!thumbprint.ok() || (thumbprint->type != regtype::kSz && thumbprint->type != regtype::kExpandSz) ||
        StringData(thumbprint->data) != catalog) {
      sub->Close();
      continue;
    }
    for (auto& v : reg.Values(*sub).value_or({})) {
      if (v.type != regtype::kBinary || v.name.size() > kMaxValueName || v.data.size() > 511 || v.name.size() < 2 ||
          !StartsWith(v.name, L"p!"))
        continue;
      for (char c : v.data) {
        if (c == '\0') break;
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
      }
      break;
    }
    CloseTraced(s, *sub, 12);
    if (!text.empty()) break;
  }
  CloseTraced(s, *deployments, 13);
  if (text.empty()) {
    TraceLocation(s, 14);
    return -3;
  }
  return 0;
}

bool TraceDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  for (auto& line : lines) {
    std::wstring name = ReplaceAll(line, L"\"", L"");
    size_t slash = name.rfind(L'\\');
    if (slash != std::wstring::npos) name.erase(0, slash + 1);
    if (name.size() >= 9 && IEquals(name.substr(name.size() - 9), L".manifest")) name.erase(name.size() - 9);
    std::wstring text;
    uint32_t conditional = 0;
    int code = TraceComponent(s, name, text, conditional);
    const std::wstring codeText = DecimalSigned(code);
    if (code == 0)
      report += L"Successfully traced component " + name + L".\r\n    " + text + L"\r\n\r\n";
    else if (code >= 1 && code <= 3)
      report += L"Failed to trace component " + name + L" with return code " + codeText +
                L" and conditional return code " + ErrorCodeName(conditional) + L".\r\n\r\n";
    else
      report += L"Failed to trace component " + name + L" with return code " + codeText + L".\r\n\r\n";
  }
  return true;
}

}  // namespace corvex
