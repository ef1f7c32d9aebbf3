#include "platform/fake/fake_registry.h"

#include <algorithm>
#include <cwctype>
#include <functional>
#include <set>

#include "base/registry_text.h"
#include "base/text.h"
#include "platform/fake/fake_security.h"

namespace corvex::fake {

using platform::Error;
using platform::RegistryKey;
using platform::RegistryValue;
using platform::Result;
using platform::RootKey;
using platform::Status;
namespace err = platform::err;
namespace keyaccess = platform::keyaccess;
namespace regtype = platform::regtype;

namespace {

constexpr uint32_t kDelete = 0x10000;
constexpr wchar_t kHeader5[] = L"Windows Registry Editor Version 5.00";
constexpr wchar_t kHeader4[] = L"REGEDIT4";

struct RootForm {
  RootKey root;
  const wchar_t* longName;
  const wchar_t* shortName;
};
constexpr RootForm kRoots[] = {
    {RootKey::kLocalMachine, L"HKEY_LOCAL_MACHINE", L"HKLM"},
    {RootKey::kCurrentUser, L"HKEY_CURRENT_USER", L"HKCU"},
    {RootKey::kUsers, L"HKEY_USERS", L"HKU"},
    {RootKey::kClassesRoot, L"HKEY_CLASSES_ROOT", L"HKCR"},
    {RootKey::kCurrentConfig, L"HKEY_CURRENT_CONFIG", L"HKCC"},
};

// Rights of a key ACE: "KA", "KR", generic rights mapped as the key object
// type maps them, or "0x..." numbers.
uint32_t KeyRights(const std::wstring& text) {
  if (IStartsWith(text, L"0x")) {
    uint32_t v = 0;
    for (size_t i = 2; i < text.size(); ++i) {
      if (!std::iswxdigit(text[i]) || i > 9) return 0;
      v = v * 16 + static_cast<uint32_t>(std::iswdigit(text[i]) ? text[i] - L'0' : std::towlower(text[i]) - L'a' + 10);
    }
    return v;
  }
  static const std::map<std::wstring, uint32_t> codes = {
      {L"KA", 0xF003F}, {L"KR", 0x20019}, {L"KW", 0x20006}, {L"KX", 0x20019}, {L"GA", 0xF003F},
      {L"GR", 0x20019}, {L"GW", 0x20006}, {L"GX", 0x20019}, {L"RC", 0x20000}, {L"SD", 0x10000},
      {L"WD", 0x40000}, {L"WO", 0x80000}};
  if (text.size() % 2) return 0;
  uint32_t mask = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    auto it = codes.find(text.substr(i, 2));
    if (it == codes.end()) return 0;
    mask |= it->second;
  }
  return mask;
}

// "D:" + flags + "(...)" entries; false for anything else.
bool SplitDacl(const std::wstring& dacl, std::wstring& flags, std::vector<std::vector<std::wstring>>& aces) {
  if (!StartsWith(dacl, L"D:")) return false;
  size_t i = 2;
  while (i < dacl.size() && dacl[i] != L'(') flags.push_back(dacl[i++]);
  while (i < dacl.size()) {
    if (dacl[i] != L'(') return false;
    size_t close = dacl.find(L')', i);
    if (close == std::wstring::npos) return false;
    std::vector<std::wstring> fields = Split(dacl.substr(i + 1, close - i - 1), L";");
    if (fields.size() != 6 || (fields[0] != L"A" && fields[0] != L"D") || KeyRights(fields[2]) == 0 ||
        !FakeSecurity::IsValidSid(fields[5]))
      return false;
    aces.push_back(std::move(fields));
    i = close + 1;
  }
  return true;
}

// A descriptor's SDDL cut into owner (a SID, aliases resolved) and DACL.
bool SplitDescriptor(const std::wstring& sddl, std::wstring& owner, std::wstring& dacl) {
  size_t d = sddl.find(L"D:");
  std::wstring head = sddl.substr(0, d);
  if (d != std::wstring::npos) dacl = sddl.substr(d);
  size_t g = head.find(L"G:");
  std::wstring group = g == std::wstring::npos ? L"" : head.substr(g + 2);
  head = head.substr(0, g);
  if (!head.empty()) {
    if (!StartsWith(head, L"O:")) return false;
    owner = FakeSecurity::ResolveSidAlias(head.substr(2));
    if (!FakeSecurity::IsValidSid(owner)) return false;
  }
  if (g != std::wstring::npos && !FakeSecurity::IsValidSid(group)) return false;
  std::wstring flags;
  std::vector<std::vector<std::wstring>> aces;
  if (!dacl.empty() && !SplitDacl(dacl, flags, aces)) return false;
  return !owner.empty() || !dacl.empty();
}

// What a new key takes from its parent: the container-inherit entries.
std::wstring InheritedDacl(const std::wstring& parent) {
  std::wstring flags, out = L"D:AI";
  std::vector<std::vector<std::wstring>> aces;
  if (!SplitDacl(parent, flags, aces)) return out;
  for (auto& f : aces) {
    if (!FakeSecurity::HasAceFlag(f[1], L"CI")) continue;
    f[1] = FakeSecurity::HasAceFlag(f[1], L"NP") ? L"ID" : L"CIID";
    out += L"(" + Join(f, L";") + L")";
  }
  return out;
}

std::wstring Hex2(uint8_t b) {
  static const wchar_t digits[] = L"0123456789abcdef";
  return {digits[b >> 4], digits[b & 15]};
}

std::wstring Quoted(const std::wstring& text) {
  return L"\"" + ReplaceAll(ReplaceAll(text, L"\\", L"\\\\"), L"\"", L"\\\"") + L"\"";
}

// A quoted string at `i` with "\\" and "\"" escapes; `i` ends after it.
bool ReadQuoted(const std::wstring& line, size_t& i, std::wstring& out) {
  if (i >= line.size() || line[i] != L'"') return false;
  for (++i; i < line.size(); ++i) {
    if (line[i] == L'\\' && i + 1 < line.size()) {
      out.push_back(line[++i]);
    } else if (line[i] == L'"') {
      ++i;
      return true;
    } else {
      out.push_back(line[i]);
    }
  }
  return false;
}

bool HexValue(const std::wstring& text, uint64_t limit, uint64_t& out) {
  if (text.empty() || text.size() > 16) return false;
  out = 0;
  for (wchar_t c : text) {
    if (!std::iswxdigit(c) || c > 0x7F) return false;
    out = out * 16 + static_cast<uint64_t>(std::iswdigit(c) ? c - L'0' : std::towlower(c) - L'a' + 10);
  }
  return out <= limit;
}

bool ReadData(const std::wstring& data, RegFileValue& v) {
  if (data == L"-") {
    v.remove = true;
    return true;
  }
  if (!data.empty() && data[0] == L'"') {
    size_t i = 0;
    std::wstring text;
    if (!ReadQuoted(data, i, text) || !Trim(data.substr(i)).empty()) return false;
    v.value.type = regtype::kSz;
    v.value.data = ToUtf16Le(text) + std::string(2, '\0');
    return true;
  }
  if (IStartsWith(data, L"dword:")) {
    uint64_t n = 0;
    if (!HexValue(data.substr(6), 0xFFFFFFFF, n)) return false;
    v.value.type = regtype::kDword;
    for (int k = 0; k < 4; ++k) v.value.data.push_back(static_cast<char>((n >> (8 * k)) & 0xFF));
    return true;
  }
  size_t colon = data.find(L':');
  if (colon == std::wstring::npos) return false;
  std::wstring kind = ToLower(data.substr(0, colon));
  uint64_t type = regtype::kBinary;
  if (kind != L"hex") {
    if (!StartsWith(kind, L"hex(") || !EndsWith(kind, L")") || !HexValue(kind.substr(4, kind.size() - 5), 0xFFFF, type))
      return false;
  }
  v.value.type = static_cast<uint32_t>(type);
  std::wstring bytes = Trim(data.substr(colon + 1));
  if (bytes.empty()) return true;
  for (auto& piece : Split(bytes, L",")) {
    uint64_t b = 0;
    if (!HexValue(Trim(piece), 0xFF, b)) return false;
    v.value.data.push_back(static_cast<char>(b));
  }
  return true;
}

}  // namespace

bool ParseRegFile(const std::wstring& text, std::vector<RegFileBlock>& blocks) {
  // Logical lines: a "\" at the end continues a line, and a string left
  // open runs on over the line ends, which stay in its data.
  std::vector<std::wstring> lines;
  std::wstring pending;
  bool continuing = false, inString = false;
  for (auto piece : Split(text, L"\n")) {
    if (!piece.empty() && piece.back() == L'\r') piece.pop_back();
    if (inString) {
      inString = RegistryStringOpenAfter(piece, true);
      pending += L"\r\n" + piece;
    } else {
      pending += continuing ? Trim(piece) : piece;
      inString = !StartsWith(Trim(pending), L"[") && RegistryStringOpenAfter(pending, false);
    }
    if (inString) continue;
    std::wstring trimmed = Trim(pending);
    continuing = !trimmed.empty() && trimmed.back() == L'\\' && trimmed[0] != L'[';
    if (continuing) {
      pending = trimmed.substr(0, trimmed.size() - 1);
      continue;
    }
    lines.push_back(pending);
    pending.clear();
  }
  if (!pending.empty()) lines.push_back(pending);
  bool header = false;
  for (auto& raw : lines) {
    std::wstring line = Trim(raw);
    if (line.empty() || line[0] == L';') continue;
    if (!header) {
      if (!IEquals(line, kHeader5) && !IEquals(line, kHeader4)) return false;
      header = true;
      continue;
    }
    if (line[0] == L'[') {
      if (line.back() != L']') return false;
      RegFileBlock b;
      b.key = line.substr(1, line.size() - 2);
      if (!b.key.empty() && b.key[0] == L'-') {
        b.remove = true;
        b.key.erase(0, 1);
      }
      blocks.push_back(std::move(b));
      continue;
    }
    if (blocks.empty()) return false;
    RegFileValue v;
    size_t i = 0;
    if (line[0] == L'@') {
      i = 1;
    } else if (!ReadQuoted(line, i, v.name)) {
      return false;
    }
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size() || line[i] != L'=') return false;
    if (!ReadData(Trim(line.substr(i + 1)), v)) return false;
    v.value.name = v.name;
    blocks.back().values.push_back(std::move(v));
  }
  return header;
}

std::wstring RegFileValueLine(const RegistryValue& value) {
  std::wstring line = value.name.empty() ? L"@" : Quoted(value.name);
  line += L"=";
  const std::string& d = value.data;
  if (value.type == regtype::kSz && d.size() % 2 == 0 && d.size() >= 2 && d.substr(d.size() - 2) == std::string(2, '\0')) {
    std::wstring text = FromUtf16Le(d.substr(0, d.size() - 2));
    if (text.find(L'\0') == std::wstring::npos) return line + Quoted(text);
  }
  if (value.type == regtype::kDword && d.size() == 4) {
    std::wstring hex;
    for (int k = 3; k >= 0; --k) hex += Hex2(static_cast<uint8_t>(d[static_cast<size_t>(k)]));
    return line + L"dword:" + hex;
  }
  if (value.type == regtype::kBinary) {
    line += L"hex:";
  } else {
    wchar_t kind[16];
    swprintf(kind, 16, L"hex(%x):", value.type);
    line += kind;
  }
  // reg.exe folds its lines before they pass 80 characters.
  size_t width = line.size();
  for (size_t k = 0; k < d.size(); ++k) {
    line += Hex2(static_cast<uint8_t>(d[k]));
    width += 2;
    if (k + 1 < d.size()) {
      line += L",";
      ++width;
      if (width >= 76) {
        line += L"\\\r\n  ";
        width = 2;
      }
    }
  }
  return line;
}

bool SplitKeyPath(const std::wstring& path, RootKey& root, std::vector<std::wstring>& components) {
  components.clear();
  for (auto& part : Split(path, L"\\"))
    if (!part.empty()) components.push_back(part);
  if (components.empty()) return false;
  for (auto& r : kRoots)
    if (IEquals(components[0], r.longName) || IEquals(components[0], r.shortName)) {
      root = r.root;
      components.erase(components.begin());
      return true;
    }
  return false;
}

std::wstring RootName(RootKey root) {
  for (auto& r : kRoots)
    if (r.root == root) return r.longName;
  return L"";
}

static std::wstring FullPath(RootKey root, const std::vector<std::wstring>& path) {
  std::wstring out = RootName(root);
  for (auto& p : path) out += L"\\" + p;
  return out;
}

// ---------------------------------------------------------------------------
FakeRegistry::FakeRegistry(FakeWindows& w) : w_(w) {
  for (auto& r : kRoots) {
    FakeRegKey& k = roots_[r.root];
    k.name = r.longName;
    k.owner = platform::sid::kSystem;
    k.dacl = L"D:(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CI;KR;;;BU)";
  }
  AddKey(L"HKEY_LOCAL_MACHINE\\SOFTWARE");
  AddKey(L"HKEY_LOCAL_MACHINE\\SYSTEM");
}

FakeRegistry::~FakeRegistry() = default;

FakeRegKey* FakeRegistry::Root(RootKey root) {
  auto it = roots_.find(root);
  return it == roots_.end() ? nullptr : &it->second;
}

FakeRegKey* FakeRegistry::Walk(RootKey root, const std::vector<std::wstring>& path) {
  FakeRegKey* k = Root(root);
  for (auto& p : path) {
    if (!k) return nullptr;
    auto it = k->subkeys.find(ToUpper(p));
    k = it == k->subkeys.end() ? nullptr : it->second.get();
  }
  return k;
}

const FakeRegKey* FakeRegistry::Find(const std::wstring& fullPath) const {
  RootKey root = RootKey::kNone;
  std::vector<std::wstring> comps;
  if (!SplitKeyPath(fullPath, root, comps)) return nullptr;
  return const_cast<FakeRegistry*>(this)->Walk(root, comps);
}

uint32_t FakeRegistry::Fault(Op op, RootKey root, const std::vector<std::wstring>& path) {
  return w_.TakeFault(op, FullPath(root, path));
}

bool FakeRegistry::Grants(const FakeRegKey& key, uint32_t desired) const {
  FakeSecurity& sec = w_.security();
  const std::set<std::wstring> who = {sec.userSid, platform::sid::kEveryone, platform::sid::kAdministrators};
  uint32_t granted = 0, denied = 0;
  if (who.count(key.owner)) granted |= keyaccess::kReadControl | keyaccess::kWriteDac;
  if (sec.PrivilegeEnabled(L"SeTakeOwnershipPrivilege")) granted |= keyaccess::kWriteOwner;
  std::wstring flags;
  std::vector<std::vector<std::wstring>> aces;
  if (!SplitDacl(key.dacl, flags, aces)) return false;
  for (auto& f : aces) {
    if (FakeSecurity::HasAceFlag(f[1], L"IO") || !who.count(FakeSecurity::ResolveSidAlias(f[5]))) continue;
    uint32_t mask = KeyRights(f[2]);
    if (f[0] == L"A")
      granted |= mask & ~denied;
    else
      denied |= mask & ~granted;
  }
  desired &= ~(keyaccess::kWow64_64Key | 0x200u);
  return (granted & desired) == desired;
}

FakeRegKey* FakeRegistry::MakeChain(RootKey root, const std::vector<std::wstring>& path, bool checked,
                                    uint32_t& code) {
  FakeRegKey* k = Root(root);
  if (!k) {
    code = err::kInvalidHandle;
    return nullptr;
  }
  for (size_t i = 0; i < path.size(); ++i) {
    auto it = k->subkeys.find(ToUpper(path[i]));
    if (it != k->subkeys.end()) {
      k = it->second.get();
      continue;
    }
    // No key can be made directly below these two roots: they hold hives.
    bool hiveRoot = i == 0 && (root == RootKey::kLocalMachine || root == RootKey::kUsers);
    if (checked && (hiveRoot || !Grants(*k, keyaccess::kCreateSubKey))) {
      code = err::kAccessDenied;
      return nullptr;
    }
    auto made = std::make_unique<FakeRegKey>();
    made->name = path[i];
    made->owner = platform::sid::kAdministrators;
    made->dacl = InheritedDacl(k->dacl);
    FakeRegKey* next = made.get();
    k->subkeys[ToUpper(path[i])] = std::move(made);
    k = next;
  }
  return k;
}

FakeRegKey* FakeRegistry::Resolve(const RegistryKey& key, uint32_t need, uint32_t& code, std::wstring& shown) {
  auto it = handles_.find(key.get());
  if (it == handles_.end()) {
    code = err::kInvalidHandle;
    return nullptr;
  }
  shown = FullPath(it->second.root, it->second.path);
  FakeRegKey* k = Walk(it->second.root, it->second.path);
  if (!k) {
    code = err::kKeyDeleted;
    return nullptr;
  }
  if ((it->second.granted & need) != need) {
    code = err::kAccessDenied;
    return nullptr;
  }
  code = 0;
  return k;
}

FakeRegKey* FakeRegistry::Cached(Handle& h) {
  if (h.generation != removals_) {
    h.key = Walk(h.root, h.path);
    h.shown = FullPath(h.root, h.path);
    h.generation = removals_;
  }
  return h.key;
}

// --- Test set-up -------------------------------------------------------------
void FakeRegistry::AddKey(const std::wstring& path) {
  RootKey root = RootKey::kNone;
  std::vector<std::wstring> comps;
  uint32_t code = 0;
  if (SplitKeyPath(path, root, comps)) MakeChain(root, comps, false, code);
}

void FakeRegistry::SetValue(const std::wstring& path, const std::wstring& name, uint32_t type,
                            const std::string& data) {
  AddKey(path);
  FakeRegKey* k = const_cast<FakeRegKey*>(Find(path));
  if (!k) return;
  for (auto& v : k->values)
    if (IEquals(v.name, name)) {
      v = RegistryValue{name, type, data};
      return;
    }
  k->values.push_back(RegistryValue{name, type, data});
}

void FakeRegistry::SetString(const std::wstring& path, const std::wstring& name, const std::wstring& text) {
  SetValue(path, name, regtype::kSz, ToUtf16Le(text) + std::string(2, '\0'));
}

void FakeRegistry::SetDword(const std::wstring& path, const std::wstring& name, uint32_t value) {
  std::string d;
  for (int k = 0; k < 4; ++k) d.push_back(static_cast<char>((value >> (8 * k)) & 0xFF));
  SetValue(path, name, regtype::kDword, d);
}

bool FakeRegistry::KeyExists(const std::wstring& path) const { return Find(path) != nullptr; }

const RegistryValue* FakeRegistry::Value(const std::wstring& path, const std::wstring& name) const {
  const FakeRegKey* k = Find(path);
  if (!k) return nullptr;
  for (auto& v : k->values)
    if (IEquals(v.name, name)) return &v;
  return nullptr;
}

std::wstring FakeRegistry::SecurityOf(const std::wstring& path) const {
  const FakeRegKey* k = Find(path);
  return k ? L"O:" + FakeSecurity::SidAlias(k->owner) + k->dacl : L"";
}

void FakeRegistry::SetSecurity(const std::wstring& path, const std::wstring& owner, const std::wstring& dacl) {
  if (FakeRegKey* k = const_cast<FakeRegKey*>(Find(path))) {
    k->owner = FakeSecurity::ResolveSidAlias(owner);
    k->dacl = dacl;
  }
}

void FakeRegistry::Protect(const std::wstring& path) {
  AddKey(path);
  SetSecurity(path, platform::sid::kTrustedInstaller, kProtectedDacl);
}

void FakeRegistry::WriteHiveFile(const std::wstring& file, const std::wstring& regText) {
  w_.AddFile(file, std::string(kHiveMagic) + ToUtf8(std::wstring(kHeader5) + L"\r\n" + regText));
}

// --- platform::Registry --------------------------------------------------------
Result<RegistryKey> FakeRegistry::OpenKey(RootKey root, const std::wstring& subkey, uint32_t access) {
  std::vector<std::wstring> comps;
  for (auto& p : Split(subkey, L"\\"))
    if (!p.empty()) comps.push_back(p);
  if (uint32_t f = Fault(Op::kOpenKey, root, comps)) return Error{f};
  if (!Root(root)) return Error{err::kInvalidHandle};
  FakeRegKey* k = Walk(root, comps);
  if (!k) return Error{err::kFileNotFound};
  if (!Grants(*k, access)) return Error{err::kAccessDenied};
  uintptr_t h = nextHandle_ += 4;
  handles_[h] = Handle{root, comps, access};
  return RegistryKey(this, h);
}

Result<RegistryKey> FakeRegistry::CreateKey(RootKey root, const std::wstring& subkey, uint32_t access) {
  std::vector<std::wstring> comps;
  for (auto& p : Split(subkey, L"\\"))
    if (!p.empty()) comps.push_back(p);
  if (uint32_t f = Fault(Op::kCreateKey, root, comps)) return Error{f};
  uint32_t code = 0;
  if (!MakeChain(root, comps, true, code)) return Error{code};
  return OpenKey(root, subkey, access);
}

Status FakeRegistry::DeleteKey(RootKey root, const std::wstring& subkey) {
  std::vector<std::wstring> comps;
  for (auto& p : Split(subkey, L"\\"))
    if (!p.empty()) comps.push_back(p);
  if (uint32_t f = Fault(Op::kDeleteKey, root, comps)) return Error{f};
  if (comps.empty()) return Error{err::kAccessDenied};
  FakeRegKey* k = Walk(root, comps);
  if (!k) return Error{err::kFileNotFound};
  if (!k->subkeys.empty() || !Grants(*k, kDelete)) return Error{err::kAccessDenied};
  std::vector<std::wstring> parent(comps.begin(), comps.end() - 1);
  ++removals_;
  Walk(root, parent)->subkeys.erase(ToUpper(comps.back()));
  return Status::Ok();
}

Result<std::vector<std::wstring>> FakeRegistry::SubKeyNames(const RegistryKey& key) {
  uint32_t code = 0;
  std::wstring shown;
  FakeRegKey* k = Resolve(key, keyaccess::kEnumerateSubKeys, code, shown);
  if (uint32_t f = w_.TakeFault(Op::kEnumKeys, shown)) return Error{f};
  if (!k) return Error{code};
  std::vector<std::wstring> names;
  for (auto& [upper, sub] : k->subkeys) names.push_back(sub->name);
  return names;
}

Result<std::vector<RegistryValue>> FakeRegistry::Values(const RegistryKey& key) {
  uint32_t code = 0;
  std::wstring shown;
  FakeRegKey* k = Resolve(key, keyaccess::kQueryValue, code, shown);
  if (uint32_t f = w_.TakeFault(Op::kEnumValues, shown)) return Error{f};
  if (!k) return Error{code};
  return k->values;
}

Result<platform::KeyInfo> FakeRegistry::QueryKeyInfo(const RegistryKey& key) {
  auto it = handles_.find(key.get());
  if (it == handles_.end()) return Error{err::kInvalidHandle};
  FakeRegKey* k = Cached(it->second);
  if (uint32_t f = w_.TakeFault(Op::kEnumValues, it->second.shown)) return Error{f};
  if (!k) return Error{err::kKeyDeleted};
  if (!(it->second.granted & keyaccess::kQueryValue)) return Error{err::kAccessDenied};
  platform::KeyInfo info;
  info.subKeys = static_cast<uint32_t>(k->subkeys.size());
  info.values = static_cast<uint32_t>(k->values.size());
  for (auto& [upper, sub] : k->subkeys)
    info.maxSubKeyName = std::max(info.maxSubKeyName, static_cast<uint32_t>(sub->name.size()));
  for (auto& v : k->values) {
    info.maxValueName = std::max(info.maxValueName, static_cast<uint32_t>(v.name.size()));
    info.maxValueData = std::max(info.maxValueData, static_cast<uint32_t>(v.data.size()));
  }
  return info;
}

Status FakeRegistry::EnumValue(const RegistryKey& key, uint32_t index, uint32_t nameCapacity, uint32_t dataCapacity,
                               RegistryValue& value) {
  auto it = handles_.find(key.get());
  if (it == handles_.end()) return Error{err::kInvalidHandle};
  FakeRegKey* k = Cached(it->second);
  if (uint32_t f = w_.TakeFault(Op::kEnumValues, it->second.shown)) return Error{f};
  if (!k) return Error{err::kKeyDeleted};
  if (!(it->second.granted & keyaccess::kQueryValue)) return Error{err::kAccessDenied};
  if (index >= k->values.size()) return Error{err::kNoMoreItems};
  const RegistryValue& v = k->values[index];
  // As RegEnumValueW: a name needs room for its NUL too, and a value that
  // does not fit is not handed out in part.
  if (v.name.size() >= nameCapacity || v.data.size() > dataCapacity) return Error{err::kMoreData};
  value.name.assign(v.name);
  value.type = v.type;
  value.data.assign(v.data);
  return Status::Ok();
}

Result<RegistryValue> FakeRegistry::QueryValue(const RegistryKey& key, const std::wstring& name) {
  uint32_t code = 0;
  std::wstring shown;
  FakeRegKey* k = Resolve(key, keyaccess::kQueryValue, code, shown);
  if (uint32_t f = w_.TakeFault(Op::kQueryValue, shown + L"\\" + name)) return Error{f};
  if (!k) return Error{code};
  for (auto& v : k->values)
    if (IEquals(v.name, name)) return v;
  return Error{err::kFileNotFound};
}

Status FakeRegistry::SetValue(const RegistryKey& key, const RegistryValue& value) {
  uint32_t code = 0;
  std::wstring shown;
  FakeRegKey* k = Resolve(key, keyaccess::kSetValue, code, shown);
  if (uint32_t f = w_.TakeFault(Op::kSetValue, shown + L"\\" + value.name)) return Error{f};
  if (!k) return Error{code};
  for (auto& v : k->values)
    if (IEquals(v.name, value.name)) {
      v = value;
      return Status::Ok();
    }
  k->values.push_back(value);
  return Status::Ok();
}

Status FakeRegistry::DeleteValue(const RegistryKey& key, const std::wstring& name) {
  uint32_t code = 0;
  std::wstring shown;
  FakeRegKey* k = Resolve(key, keyaccess::kSetValue, code, shown);
  if (uint32_t f = w_.TakeFault(Op::kDeleteValue, shown + L"\\" + name)) return Error{f};
  if (!k) return Error{code};
  for (auto it = k->values.begin(); it != k->values.end(); ++it)
    if (IEquals(it->name, name)) {
      k->values.erase(it);
      return Status::Ok();
    }
  return Error{err::kFileNotFound};
}

Result<std::string> FakeRegistry::GetKeySecurity(const RegistryKey& key, uint32_t information) {
  uint32_t code = 0;
  std::wstring shown;
  FakeRegKey* k = Resolve(key, keyaccess::kReadControl, code, shown);
  if (uint32_t f = w_.TakeFault(Op::kGetKeySecurity, shown)) return Error{f};
  if (!k) return Error{code};
  std::wstring text;
  if (information & platform::secinfo::kOwner) text += L"O:" + k->owner;
  if (information & platform::secinfo::kDacl) text += k->dacl;
  return ToUtf8(text);
}

Status FakeRegistry::SetKeySecurity(const RegistryKey& key, uint32_t information, const std::string& descriptor) {
  uint32_t need = ((information & platform::secinfo::kOwner) ? keyaccess::kWriteOwner : 0) |
                  ((information & platform::secinfo::kDacl) ? keyaccess::kWriteDac : 0);
  uint32_t code = 0;
  std::wstring shown;
  FakeRegKey* k = Resolve(key, need, code, shown);
  if (uint32_t f = w_.TakeFault(Op::kSetKeySecurity, shown)) return Error{f};
  if (!k) return Error{code};
  std::wstring owner, dacl;
  if (!SplitDescriptor(FromUtf8(descriptor), owner, dacl)) return Error{1338};  // ERROR_INVALID_SECURITY_DESCR
  if ((information & platform::secinfo::kOwner) && owner.empty()) return Error{1338};
  if ((information & platform::secinfo::kDacl) && dacl.empty()) return Error{1338};
  FakeSecurity& sec = w_.security();
  // Without SeRestorePrivilege a token may only make itself or its
  // administrators group the owner.
  if ((information & platform::secinfo::kOwner) && !sec.PrivilegeEnabled(L"SeRestorePrivilege") &&
      owner != sec.userSid && owner != platform::sid::kAdministrators)
    return Error{platform::err::kInvalidOwner};
  if (information & platform::secinfo::kOwner) k->owner = owner;
  if (information & platform::secinfo::kDacl) k->dacl = dacl;
  return Status::Ok();
}

Result<std::wstring> FakeRegistry::DescriptorToSddl(const std::string& descriptor, uint32_t information) {
  if (uint32_t f = w_.TakeFault(Op::kSddl, L"ToSddl")) return Error{f};
  std::wstring owner, dacl;
  if (!SplitDescriptor(FromUtf8(descriptor), owner, dacl)) return Error{1338};
  std::wstring out;
  if ((information & platform::secinfo::kOwner) && !owner.empty()) out += L"O:" + FakeSecurity::SidAlias(owner);
  if (information & platform::secinfo::kDacl) out += dacl;
  return out;
}

Result<std::string> FakeRegistry::SddlToDescriptor(const std::wstring& sddl) {
  if (uint32_t f = w_.TakeFault(Op::kSddl, sddl)) return Error{f};
  std::wstring owner, dacl;
  if (!SplitDescriptor(sddl, owner, dacl)) return Error{1336};  // ERROR_INVALID_ACL
  return ToUtf8((owner.empty() ? L"" : L"O:" + owner) + dacl);
}

Status FakeRegistry::LoadHive(const std::wstring& name, const std::wstring& file) {
  if (uint32_t f = w_.TakeFault(Op::kLoadHive, file)) return Error{f};
  FakeSecurity& sec = w_.security();
  if (!sec.PrivilegeEnabled(L"SeBackupPrivilege") || !sec.PrivilegeEnabled(L"SeRestorePrivilege"))
    return Error{err::kPrivilegeNotHeld};
  const FakeNode* n = w_.Node(file);
  if (!n) return Error{err::kFileNotFound};
  if (n->folder) return Error{err::kAccessDenied};
  for (auto& [loadedName, loadedFile] : loadedHives)
    if (FakeWindows::Key(loadedFile) == FakeWindows::Key(file)) return Error{err::kSharingViolation};
  if (Root(RootKey::kLocalMachine)->subkeys.count(ToUpper(name))) return Error{err::kAlreadyExists};
  const std::string magic = kHiveMagic;
  std::vector<RegFileBlock> blocks;
  // The text ends at the first NUL: what follows is free space, as the
  // unused cells of a real hive are, so a test can give the file any size.
  const size_t end = n->bytes.find('\0');
  if (n->bytes.compare(0, magic.size(), magic) != 0 ||
      !ParseRegFile(FromUtf8(n->bytes.substr(0, end), magic.size()), blocks))
    return Error{err::kBadDb};
  AddKey(L"HKEY_LOCAL_MACHINE\\" + name);
  for (auto& b : blocks) Apply(b, L"HKEY_LOCAL_MACHINE\\" + name);
  loadedHives[name] = file;
  return Status::Ok();
}

Status FakeRegistry::UnloadHive(const std::wstring& name) {
  if (uint32_t f = w_.TakeFault(Op::kUnloadHive, name)) return Error{f};
  FakeSecurity& sec = w_.security();
  if (!sec.PrivilegeEnabled(L"SeBackupPrivilege") || !sec.PrivilegeEnabled(L"SeRestorePrivilege"))
    return Error{err::kPrivilegeNotHeld};
  auto it = loadedHives.find(name);
  if (it == loadedHives.end()) return Error{err::kInvalidParameter};
  ++removals_;
  Root(RootKey::kLocalMachine)->subkeys.erase(ToUpper(name));
  loadedHives.erase(it);
  return Status::Ok();
}

Status FakeRegistry::CloseKey(uintptr_t value) {
  auto it = handles_.find(value);
  if (it == handles_.end()) return Error{err::kInvalidHandle};
  std::wstring shown = FullPath(it->second.root, it->second.path);
  handles_.erase(it);
  if (uint32_t f = w_.TakeFault(Op::kCloseKey, shown)) return Error{f};
  return Status::Ok();
}

// --- reg.exe -------------------------------------------------------------------
// A block applied as reg.exe IMPORT does it, with the caller's access; a
// hive being loaded (`hiveRoot` set) is written without checks.
uint32_t FakeRegistry::Apply(const RegFileBlock& block, const std::wstring& hiveRoot) {
  const bool checked = hiveRoot.empty();
  std::wstring path = checked ? block.key : hiveRoot + (block.key.empty() ? L"" : L"\\" + block.key);
  RootKey root = RootKey::kNone;
  std::vector<std::wstring> comps;
  if (!SplitKeyPath(path, root, comps)) return err::kInvalidParameter;
  if (block.remove) {
    FakeRegKey* k = Walk(root, comps);
    if (!k || comps.empty()) return 0;
    if (checked && !Grants(*k, kDelete)) return err::kAccessDenied;
    std::vector<std::wstring> parent(comps.begin(), comps.end() - 1);
    ++removals_;
    Walk(root, parent)->subkeys.erase(ToUpper(comps.back()));
    return 0;
  }
  uint32_t code = 0;
  FakeRegKey* k = MakeChain(root, comps, checked, code);
  if (!k) return code;
  if (!block.values.empty() && checked && !Grants(*k, keyaccess::kSetValue)) return err::kAccessDenied;
  for (auto& v : block.values) {
    auto same = [&](const RegistryValue& e) { return IEquals(e.name, v.name); };
    auto it = std::find_if(k->values.begin(), k->values.end(), same);
    if (v.remove) {
      if (it != k->values.end()) k->values.erase(it);
    } else if (it != k->values.end()) {
      *it = v.value;
    } else {
      k->values.push_back(v.value);
    }
  }
  return 0;
}

void FakeRegistry::InstallRegExe() {
  w_.OnProcess(L"reg.exe", [this](const platform::ProcessRequest& r) { return RunReg(r); });
}

platform::ProcessOutcome FakeRegistry::RunReg(const platform::ProcessRequest& request) {
  regCommands.push_back(request.commandLine);
  std::vector<std::wstring> args = FakeSecurity::SplitCommandLine(request.commandLine);
  platform::ProcessOutcome out;
  out.exitCode = 1;
  auto& fs = w_.platform().fs;
  if (args.size() >= 3 && IEquals(args[0], L"EXPORT")) {
    bool overwrite = args.size() > 3 && IEquals(args[3], L"/y");
    RootKey root = RootKey::kNone;
    std::vector<std::wstring> comps;
    if (!SplitKeyPath(args[1], root, comps)) return out;
    FakeRegKey* top = Walk(root, comps);
    if (!top || !Grants(*top, keyaccess::kRead)) return out;
    if (!overwrite && fs.GetAttributes(args[2]).ok()) return out;
    std::wstring text = std::wstring(kHeader5) + L"\r\n\r\n";
    std::function<void(const FakeRegKey&, const std::wstring&)> emit = [&](const FakeRegKey& k,
                                                                            const std::wstring& path) {
      text += L"[" + path + L"]\r\n";
      for (auto& v : k.values) text += RegFileValueLine(v) + L"\r\n";
      text += L"\r\n";
      for (auto& [upper, sub] : k.subkeys) emit(*sub, path + L"\\" + sub->name);
    };
    emit(*top, FullPath(root, comps));
    if (!fs.WriteFile(args[2], "\xFF\xFE" + ToUtf16Le(text), false).ok()) return out;
    out.exitCode = 0;
  } else if (args.size() >= 2 && IEquals(args[0], L"IMPORT")) {
    auto bytes = fs.ReadFile(args[1]);
    if (!bytes.ok()) return out;
    const std::string& b = *bytes;
    std::wstring text = b.compare(0, 2, "\xFF\xFE") == 0     ? FromUtf16Le(b, 2)
                        : b.compare(0, 3, "\xEF\xBB\xBF") == 0 ? FromUtf8(b, 3)
                                                               : FromLatin1(b);
    std::vector<RegFileBlock> blocks;
    if (!ParseRegFile(text, blocks)) return out;
    bool failed = false;
    for (auto& block : blocks) failed |= Apply(block, L"") != 0;
    out.exitCode = failed ? 1 : 0;
  }
  return out;
}

}  // namespace corvex::fake
