#include "platform/fake/fake_security.h"

#include <cwctype>

#include "base/command_line.h"
#include "base/text.h"
#include "base/wildcard.h"

namespace corvex::fake {

using platform::Error;
using platform::HardLinks;
using platform::Result;
using platform::Status;
namespace err = platform::err;
namespace sid = platform::sid;

namespace {

struct Alias {
  const wchar_t* alias;
  const wchar_t* sid;
};
constexpr Alias kAliases[] = {
    {L"WD", L"S-1-1-0"},      {L"BA", L"S-1-5-32-544"}, {L"SY", L"S-1-5-18"},      {L"BU", L"S-1-5-32-545"},
    {L"AU", L"S-1-5-11"},     {L"CO", L"S-1-3-0"},      {L"AC", L"S-1-15-2-1"},    {L"IU", L"S-1-5-4"},
    {L"LS", L"S-1-5-19"},     {L"NS", L"S-1-5-20"},     {L"PU", L"S-1-5-32-547"}, {L"BO", L"S-1-5-32-551"},
    {L"SO", L"S-1-5-32-549"}, {L"OW", L"S-1-3-4"},
};

struct Right {
  const wchar_t* code;
  uint32_t mask;
};
constexpr Right kRights[] = {
    {L"GA", 0x10000000}, {L"GR", 0x80000000}, {L"GW", 0x40000000}, {L"GX", 0x20000000}, {L"FA", 0x1F01FF},
    {L"FR", 0x120089},   {L"FW", 0x120116},   {L"FX", 0x1200A0},   {L"RC", 0x20000},    {L"SD", 0x10000},
    {L"WD", 0x40000},    {L"WO", 0x80000},
};

// Generic rights as the file object type maps them.
uint32_t MapGeneric(uint32_t mask) {
  uint32_t out = mask & 0x0FFFFFFF;
  if (mask & 0x10000000) out |= 0x1F01FF;
  if (mask & 0x80000000) out |= 0x120089;
  if (mask & 0x40000000) out |= 0x120116;
  if (mask & 0x20000000) out |= 0x1200A0;
  return out;
}

// "0x1200a9", "FA", "GRGX"; 0 for anything else.
uint32_t ParseRights(const std::wstring& text) {
  if (StartsWith(ToLower(text), L"0x")) {
    try {
      return static_cast<uint32_t>(std::stoul(text.substr(2), nullptr, 16));
    } catch (...) {
      return 0;
    }
  }
  if (text.empty() || text.size() % 2 != 0) return 0;
  uint32_t mask = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    std::wstring code = text.substr(i, 2);
    bool known = false;
    for (auto& r : kRights)
      if (code == r.code) {
        mask |= r.mask;
        known = true;
      }
    if (!known) return 0;
  }
  return mask;
}

// A DACL in SDDL, cut into its flags, its ACEs (with their parentheses) and
// whatever follows them.
struct Dacl {
  bool ok = false;
  std::wstring flags;
  std::vector<std::wstring> aces;
  std::wstring rest;
};

Dacl ParseDacl(const std::wstring& text) {
  Dacl d;
  if (!StartsWith(text, L"D:")) return d;
  size_t i = 2;
  while (i < text.size() && text[i] != L'(' && !(text[i] == L'S' && i + 1 < text.size() && text[i + 1] == L':'))
    d.flags.push_back(text[i++]);
  while (i < text.size() && text[i] == L'(') {
    size_t close = text.find(L')', i);
    if (close == std::wstring::npos) return d;
    d.aces.push_back(text.substr(i, close - i + 1));
    i = close + 1;
  }
  d.rest = text.substr(i);
  d.ok = true;
  return d;
}

std::vector<std::wstring> AceFields(const std::wstring& ace) { return Split(ace.substr(1, ace.size() - 2), L";"); }

}  // namespace

std::wstring FakeSecurity::SidAlias(const std::wstring& sidText) {
  for (auto& a : kAliases)
    if (sidText == a.sid) return a.alias;
  return sidText;
}

bool FakeSecurity::HasAceFlag(const std::wstring& flags, const std::wstring& flag) {
  for (size_t i = 0; i + 1 < flags.size(); i += 2)
    if (flags.compare(i, 2, flag) == 0) return true;
  return false;
}

std::wstring FakeSecurity::ResolveSidAlias(const std::wstring& text) {
  for (auto& a : kAliases)
    if (text == a.alias) return a.sid;
  return text;
}

bool FakeSecurity::IsValidSid(const std::wstring& text) {
  for (auto& a : kAliases)
    if (text == a.alias) return true;
  if (!StartsWith(text, L"S-1-")) return false;
  std::vector<std::wstring> parts = Split(text.substr(4), L"-");
  if (parts.size() > 16) return false;
  for (auto& p : parts) {
    if (p.empty()) return false;
    for (wchar_t c : p)
      if (!std::iswdigit(c)) return false;
  }
  return true;
}

std::vector<std::wstring> FakeSecurity::SplitCommandLine(const std::wstring& line) {
  return corvex::SplitCommandLine(line);
}

FakeSecurity::FakeSecurity(FakeWindows& w) : w_(w) {
  heldPrivileges = {L"SeBackupPrivilege",        L"SeRestorePrivilege",   L"SeTakeOwnershipPrivilege",
                    L"SeSecurityPrivilege",      L"SeDebugPrivilege",     L"SeShutdownPrivilege",
                    L"SeChangeNotifyPrivilege",  L"SeIncreaseQuotaPrivilege", L"SeSystemEnvironmentPrivilege",
                    L"SeLoadDriverPrivilege",    L"SeCreateSymbolicLinkPrivilege"};
  enabledPrivileges = {L"SeChangeNotifyPrivilege"};
  // The file system hands its hooks paths it has resolved already: they
  // are looked up as they are (see Resolved), not resolved once more.
  w_.accessCheck = [this](const std::wstring& path, uint32_t desired) -> uint32_t {
    FakeNode* n = Resolved(path);
    if (!n) return 0;  // the file system reports what is missing
    return Grants(*n, desired) ? 0 : err::kAccessDenied;
  };
  w_.onCreate = [this](FakeNode& node) { InheritInto(node); };
}

// ---------------------------------------------------------------------------
FakeNode* FakeSecurity::Find(const std::wstring& path) { return w_.MutableNode(path); }

// Every node is filed under its path in lower case, so a path the file
// system resolved (or a node's own) needs no resolving again.
FakeNode* FakeSecurity::Resolved(const std::wstring& display) {
  auto it = w_.nodes_.find(ToLower(display));
  return it == w_.nodes_.end() ? nullptr : &it->second;
}

uint32_t FakeSecurity::Missing(const std::wstring& path) {
  std::wstring key = FakeWindows::Key(path);
  size_t slash = key.rfind(L'\\');
  if (slash == std::wstring::npos) return err::kFileNotFound;
  std::wstring parent = key.substr(0, slash);
  if (parent.size() == 2 && parent[1] == L':') return err::kFileNotFound;
  auto* p = w_.MutableNode(parent);
  return p && p->folder ? err::kFileNotFound : err::kPathNotFound;
}

// An object nobody gave a descriptor takes what its folder passes on, as
// if it had been made there; below a drive root that is the defaults.
FakeDescriptor& FakeSecurity::Descriptor(FakeNode& node) {
  if (node.id == 0) node.id = nextId_++;
  auto it = descriptors_.find(node.id);
  if (it != descriptors_.end()) return it->second;
  std::wstring dacl = node.folder ? kDefaultFolderDacl : kDefaultFileDacl;
  size_t slash = node.path.rfind(L'\\');
  FakeNode* parent = slash == std::wstring::npos ? nullptr : Resolved(node.path.substr(0, slash));
  if (parent && parent->folder && parent != &node) {
    // Folders of thousands of new files pass on the same few DACLs.
    std::wstring parentDacl = Descriptor(*parent).dacl;
    std::wstring& inherited = inherited_[parentDacl + (node.folder ? L"|folder" : L"|file")];
    if (inherited.empty()) inherited = InheritedDacl(parentDacl, node.folder, sid::kAdministrators);
    dacl = inherited;
  }
  return descriptors_.emplace(node.id, FakeDescriptor{sid::kAdministrators, dacl}).first->second;
}

void FakeSecurity::InheritInto(FakeNode& node) {
  if (node.id != 0) descriptors_.erase(node.id);
  node.id = 0;
  Descriptor(node);
}

namespace {

std::wstring RightsText(uint32_t mask) {
  for (auto& r : kRights)
    if (mask == r.mask && std::wstring(r.code).size() == 2 && r.code[0] == L'F') return r.code;
  wchar_t buffer[16];
  swprintf(buffer, 16, L"0x%x", mask);
  return buffer;
}

}  // namespace

// Windows' inheritance: a file takes the object-inherit entries, a folder
// the container-inherit ones (and carries both on unless NP stops them). An
// entry with generic rights or for CREATOR OWNER is split into one that
// applies (rights mapped, the owner named) and one that is only inherited.
std::wstring FakeSecurity::InheritedDacl(const std::wstring& parentDacl, bool folder, const std::wstring& owner) {
  Dacl parent = ParseDacl(parentDacl);
  std::wstring out = L"D:AI";
  if (!parent.ok) return out;
  for (auto& ace : parent.aces) {
    std::vector<std::wstring> f = AceFields(ace);
    if (f.size() < 6) continue;
    bool oi = HasAceFlag(f[1], L"OI"), ci = HasAceFlag(f[1], L"CI"), np = HasAceFlag(f[1], L"NP");
    bool applies = folder ? ci : oi;
    bool passesOn = folder && !np && (oi || ci);
    uint32_t mask = ParseRights(f[2]);
    bool generic = (mask & 0xF0000000) != 0;
    bool creatorOwner = ResolveSidAlias(f[5]) == L"S-1-3-0";
    auto make = [&](const std::wstring& flags, const std::wstring& rights, const std::wstring& trustee) {
      f[1] = flags;
      f[2] = rights;
      f[5] = trustee;
      std::wstring text = L"(" + Join(f, L";") + L")";
      if (out.find(text) == std::wstring::npos) out += text;
    };
    std::wstring carry = std::wstring(oi ? L"OI" : L"") + (ci ? L"CI" : L"");
    if (applies && passesOn && !generic && !creatorOwner) {
      make(carry + L"ID", f[2], f[5]);
      continue;
    }
    std::wstring rights = f[2], trustee = f[5];
    if (applies) make(L"ID", generic ? RightsText(MapGeneric(mask)) : rights, creatorOwner ? SidAlias(owner) : trustee);
    if (passesOn) make(carry + L"IOID", rights, trustee);
  }
  return out;
}

std::vector<FakeNode*> FakeSecurity::Links(const FakeNode& node) {
  std::vector<FakeNode*> out;
  for (auto& [key, n] : w_.nodes_)
    if (&n == &node || (node.id != 0 && n.id == node.id)) out.push_back(&n);
  return out;
}

std::set<std::wstring> FakeSecurity::Principals() const { return {userSid, sid::kEveryone, sid::kAdministrators}; }

bool FakeSecurity::Grants(FakeNode& node, uint32_t desired) {
  const FakeDescriptor& d = Descriptor(node);
  // Thousands of files share a few descriptors: what one grants is worked
  // out once per owner, user and DACL.
  auto known = granted_.try_emplace(d.owner + L"|" + userSid + L"|" + d.dacl);
  if (known.second) known.first->second = GrantedRights(d);
  const std::optional<uint32_t>& granted = known.first->second;
  return granted && (*granted & desired) == desired;
}

// Nothing when the DACL does not parse, which refuses every access.
std::optional<uint32_t> FakeSecurity::GrantedRights(const FakeDescriptor& d) const {
  std::set<std::wstring> who = Principals();
  uint32_t granted = 0, denied = 0;
  if (who.count(d.owner)) granted |= access::kReadControl | access::kWriteDac;
  Dacl dacl = ParseDacl(d.dacl);
  if (!dacl.ok) return std::nullopt;
  if (dacl.flags.find(L"NO_ACCESS_CONTROL") != std::wstring::npos) return 0xFFFFFFFFu;  // a null DACL
  for (auto& ace : dacl.aces) {
    std::vector<std::wstring> f = AceFields(ace);
    if (f.size() < 6 || HasAceFlag(f[1], L"IO")) continue;
    if (!who.count(ResolveSidAlias(f[5]))) continue;
    uint32_t mask = MapGeneric(ParseRights(f[2]));
    if (f[0] == L"A")
      granted |= mask & ~denied;
    else if (f[0] == L"D")
      denied |= mask & ~granted;
  }
  return granted;
}

bool FakeSecurity::Grants(const std::wstring& path, uint32_t desired) {
  FakeNode* n = Find(path);
  return n && Grants(*n, desired);
}

uint32_t FakeSecurity::AccessDenied(const std::wstring& path, uint32_t desired) {
  FakeNode* n = Find(path);
  if (!n) return 0;  // the file system reports what is missing
  return Grants(*n, desired) ? 0 : err::kAccessDenied;
}

// ---------------------------------------------------------------------------
void FakeSecurity::AddProtectedFile(const std::wstring& path, const std::string& bytes, uint32_t attributes) {
  w_.AddFile(path, bytes, attributes);
  SetDescriptor(path, sid::kTrustedInstaller, kProtectedFileDacl);
}

FakeDescriptor FakeSecurity::DescriptorOf(const std::wstring& path) {
  FakeNode* n = Find(path);
  return n ? Descriptor(*n) : FakeDescriptor{};
}

void FakeSecurity::SetDescriptor(const std::wstring& path, const std::wstring& owner, const std::wstring& dacl) {
  FakeNode* n = Find(path);
  if (!n) return;
  FakeDescriptor& d = Descriptor(*n);
  d.owner = ResolveSidAlias(owner);
  d.dacl = dacl;
}

void FakeSecurity::LinkFile(const std::wstring& existing, const std::wstring& newName) {
  FakeNode* n = Find(existing);
  if (!n || n->folder || Find(newName)) return;
  Descriptor(*n);
  FakeNode copy = *n;
  w_.AddFile(newName, copy.bytes, copy.attributes);
  w_.MutableNode(newName)->id = copy.id;
  w_.linkedIds_.insert(copy.id);
}

void FakeSecurity::MarkDeletePending(const std::wstring& path) {
  if (FakeNode* n = Find(path)) {
    Descriptor(*n);
    deletePending_.insert(n->id);
  }
}

// ---------------------------------------------------------------------------
bool FakeSecurity::IsToken(uintptr_t value) const { return handles_.count(value) != 0; }

void FakeSecurity::Close(uintptr_t value) { handles_.erase(value); }

Result<platform::Token> FakeSecurity::OpenProcessToken() {
  if (uint32_t f = w_.TakeFault(Op::kOpenToken, L"")) return Error{f};
  uintptr_t h = nextHandle_ += 4;
  handles_.insert(h);
  return platform::Token(this, h);
}

// LUIDs as Windows numbers them.
static const std::map<std::wstring, uint64_t>& PrivilegeLuids() {
  static const std::map<std::wstring, uint64_t> luids = {
      {L"secreatetokenprivilege", 2},    {L"seassignprimarytokenprivilege", 3},
      {L"selockmemoryprivilege", 4},     {L"seincreasequotaprivilege", 5},
      {L"semachineaccountprivilege", 6}, {L"setcbprivilege", 7},
      {L"sesecurityprivilege", 8},       {L"setakeownershipprivilege", 9},
      {L"seloaddriverprivilege", 10},    {L"sesystemprofileprivilege", 11},
      {L"sesystemtimeprivilege", 12},    {L"seprofilesingleprocessprivilege", 13},
      {L"seincreasebasepriorityprivilege", 14}, {L"secreatepagefileprivilege", 15},
      {L"secreatepermanentprivilege", 16},      {L"sebackupprivilege", 17},
      {L"serestoreprivilege", 18},       {L"seshutdownprivilege", 19},
      {L"sedebugprivilege", 20},         {L"seauditprivilege", 21},
      {L"sesystemenvironmentprivilege", 22},    {L"sechangenotifyprivilege", 23},
      {L"seremoteshutdownprivilege", 24},       {L"seundockprivilege", 25},
      {L"semanagevolumeprivilege", 28},  {L"seimpersonateprivilege", 29},
      {L"secreateglobalprivilege", 30},  {L"secreatesymboliclinkprivilege", 35},
  };
  return luids;
}

Result<uint64_t> FakeSecurity::LookupPrivilege(const std::wstring& name) {
  if (uint32_t f = w_.TakeFault(Op::kLookupPrivilege, name)) return Error{f};
  auto it = PrivilegeLuids().find(ToLower(name));
  if (it == PrivilegeLuids().end()) return Error{err::kNoSuchPrivilege};
  return it->second;
}

Status FakeSecurity::AdjustPrivilege(const platform::Token& token, uint64_t luid, bool enable) {
  std::wstring name;
  for (auto& held : heldPrivileges)
    if (PrivilegeLuids().count(ToLower(held)) && PrivilegeLuids().at(ToLower(held)) == luid) name = held;
  if (!IsToken(token.get())) return Error{err::kInvalidHandle};
  if (uint32_t f = w_.TakeFault(Op::kAdjustPrivilege, name.empty() ? L"?" : name)) return Error{f};
  // A privilege the token does not hold changes nothing; the real call
  // succeeds and leaves ERROR_NOT_ALL_ASSIGNED as the last error, which the
  // backend turns into this failure.
  if (name.empty()) return Error{err::kNotAllAssigned};
  if (enable)
    enabledPrivileges.insert(name);
  else
    enabledPrivileges.erase(name);
  return Status::Ok();
}

Result<std::wstring> FakeSecurity::TokenUserSid() {
  if (uint32_t f = w_.TakeFault(Op::kTokenUser, L"")) return Error{f};
  return userSid;
}

Result<std::wstring> FakeSecurity::UserName() {
  if (uint32_t f = w_.TakeFault(Op::kUserName, L"")) return Error{f};
  return userName;
}

Result<std::wstring> FakeSecurity::AccountSid(const std::wstring& accountName) {
  if (uint32_t f = w_.TakeFault(Op::kLookupAccount, accountName)) return Error{f};
  if (IEquals(accountName, userName)) return userSid;
  if (IEquals(accountName, L"Administrators")) return std::wstring(sid::kAdministrators);
  if (IEquals(accountName, L"SYSTEM")) return std::wstring(sid::kSystem);
  if (IEquals(accountName, L"Everyone")) return std::wstring(sid::kEveryone);
  return Error{err::kNoneMapped};
}

Status FakeSecurity::CheckStringSid(const std::wstring& text) {
  if (uint32_t f = w_.TakeFault(Op::kCheckSid, text)) return Error{f};
  return IsValidSid(text) ? Status::Ok() : Status(Error{err::kInvalidSid});
}

Result<std::wstring> FakeSecurity::EveryoneSid() {
  if (uint32_t f = w_.TakeFault(Op::kEveryoneSid, L"")) return Error{f};
  return std::wstring(sid::kEveryone);
}

Result<std::wstring> FakeSecurity::BuildFullAccessDacl(const std::wstring& trustee) {
  if (uint32_t f = w_.TakeFault(Op::kBuildAcl, trustee)) return Error{f};
  if (!IsValidSid(trustee)) return Error{err::kInvalidSid};
  std::wstring shown = ResolveSidAlias(trustee);
  for (auto& a : kAliases)
    if (shown == a.sid) shown = a.alias;  // SDDL shows well-known SIDs by alias
  return L"D:(A;OICI;GA;;;" + shown + L")";
}

Result<std::wstring> FakeSecurity::ReadOwner(const std::wstring& path) {
  if (uint32_t f = w_.TakeFault(Op::kReadOwner, path)) return Error{f};
  FakeNode* n = Find(path);
  if (!n) return Error{Missing(path)};
  // Backup semantics: SeBackupPrivilege reads any descriptor.
  if (!PrivilegeEnabled(L"SeBackupPrivilege") && !Grants(*n, access::kReadControl)) return Error{err::kAccessDenied};
  return Descriptor(*n).owner;
}

Status FakeSecurity::SetOwner(const std::wstring& path, const std::wstring& newOwner) {
  if (uint32_t f = w_.TakeFault(Op::kSetOwner, path)) return Error{f};
  if (!IsValidSid(newOwner)) return Error{err::kInvalidSid};
  FakeNode* n = Find(path);
  if (!n) return Error{Missing(path)};
  bool restore = PrivilegeEnabled(L"SeRestorePrivilege");
  if (!restore && !PrivilegeEnabled(L"SeTakeOwnershipPrivilege") && !Grants(*n, access::kWriteOwner))
    return Error{err::kAccessDenied};
  // Without SeRestorePrivilege only the user and Administrators (the groups
  // an administrator's token may own objects as) can be made the owner.
  std::wstring owner = ResolveSidAlias(newOwner);
  if (!restore && owner != userSid && owner != sid::kAdministrators) return Error{err::kInvalidOwner};
  Descriptor(*n).owner = owner;
  return Status::Ok();
}

Status FakeSecurity::SetDacl(const std::wstring& path, const std::wstring& daclSddl) {
  if (uint32_t f = w_.TakeFault(Op::kSetDacl, path)) return Error{f};
  Dacl given = ParseDacl(daclSddl);
  if (!given.ok || !given.rest.empty()) return Error{err::kInvalidParameter};
  FakeNode* n = Find(path);
  if (!n) return Error{Missing(path)};
  if (!PrivilegeEnabled(L"SeRestorePrivilege") && !Grants(*n, access::kWriteDac)) return Error{err::kAccessDenied};
  FakeDescriptor& d = Descriptor(*n);
  // Only the DACL is written: a protected object stays protected, an
  // unprotected one keeps what it inherits from its parent.
  Dacl old = ParseDacl(d.dacl);
  bool isProtected = old.ok && old.flags.find(L'P') != std::wstring::npos &&
                     old.flags.find(L"NO_ACCESS_CONTROL") == std::wstring::npos;
  std::wstring text = std::wstring(L"D:") + (isProtected ? L"P" : L"") + L"AI";
  for (auto& ace : given.aces) text += ace;
  if (!isProtected && old.ok)
    for (auto& ace : old.aces) {
      std::vector<std::wstring> f = AceFields(ace);
      if (f.size() >= 2 && HasAceFlag(f[1], L"ID")) text += ace;
    }
  d.dacl = text + (old.ok ? old.rest : L"");
  return Status::Ok();
}

// ---------------------------------------------------------------------------
Result<HardLinks> FakeSecurity::LinksOf(FakeNode& node) {
  Descriptor(node);
  HardLinks links;
  for (FakeNode* n : Links(node)) links.paths.push_back(n->path);
  links.linkCount = static_cast<uint32_t>(links.paths.size());
  links.deletePending = deletePending_.count(node.id) != 0;
  return links;
}

Result<HardLinks> FakeSecurity::HardLinksOfPath(const std::wstring& path) {
  if (uint32_t f = w_.TakeFault(Op::kHardLinks, path)) return Error{f};
  FakeNode* n = Find(path);
  if (!n) return Error{Missing(path)};
  return LinksOf(*n);
}

namespace {
std::wstring DriveKey(wchar_t drive) { return std::wstring(1, static_cast<wchar_t>(towlower(drive))) + L":"; }
}  // namespace

Result<HardLinks> FakeSecurity::HardLinksOfFileId(wchar_t drive, uint64_t fileId) {
  std::wstring prefix = DriveKey(drive) + L"\\";
  if (uint32_t f = w_.TakeFault(Op::kHardLinks, prefix)) return Error{f};
  for (auto& [key, node] : w_.nodes_)
    if (node.id == fileId && fileId != 0 && StartsWith(key, prefix)) return LinksOf(node);
  return Error{err::kInvalidParameter};  // STATUS_INVALID_PARAMETER from an unknown id
}

// One record per file, under the name it was first given, as the file
// table holds one record per file however many links it has.
Status FakeSecurity::ScanVolume(wchar_t drive, const std::function<void(const platform::VolumeRecord&)>& onRecord) {
  std::wstring prefix = DriveKey(drive) + L"\\";
  std::set<uint64_t> seen;
  for (auto& [key, node] : w_.nodes_) {
    if (!StartsWith(key, prefix)) continue;
    // A fault lets the records before it through, as a failed batch does.
    if (uint32_t f = w_.TakeFault(Op::kVolumeScan, node.path)) return Error{f};
    Descriptor(node);
    if (!seen.insert(node.id).second) continue;
    platform::VolumeRecord r;
    r.fileId = node.id;
    r.attributes = node.attributes;
    r.name = node.path.substr(node.path.rfind(L'\\') + 1);
    onRecord(r);
  }
  return Status::Ok();
}

// ---------------------------------------------------------------------------
void FakeSecurity::InstallIcacls() {
  w_.OnProcess(L"icacls.exe", [this](const platform::ProcessRequest& r) { return RunIcacls(r); });
}

platform::ProcessOutcome FakeSecurity::RunIcacls(const platform::ProcessRequest& request) {
  platform::ProcessOutcome out;
  std::vector<std::wstring> args = SplitCommandLine(request.commandLine);
  if (args.size() < 3) {
    out.exitCode = err::kInvalidParameter;
    return out;
  }
  for (size_t i = 3; i < args.size(); ++i)
    if (!IEquals(args[i], L"/Q") && !IEquals(args[i], L"/C")) {
      out.exitCode = err::kInvalidParameter;
      return out;
    }
  if (IEquals(args[1], L"/save"))
    out.exitCode = IcaclsSave(args[0], args[2]);
  else if (IEquals(args[1], L"/restore"))
    out.exitCode = IcaclsRestore(args[0], args[2]);
  else
    out.exitCode = err::kInvalidParameter;
  return out;
}

// One pair of lines per object: its name and its DACL, UTF-16LE without a
// byte-order mark, each line ended by CR LF.
uint32_t FakeSecurity::IcaclsSave(const std::wstring& object, const std::wstring& file) {
  std::vector<FakeNode*> objects;
  size_t slash = object.rfind(L'\\');
  std::wstring leaf = slash == std::wstring::npos ? object : object.substr(slash + 1);
  if (leaf.find_first_of(L"*?") != std::wstring::npos) {
    std::wstring folder = object.substr(0, slash == std::wstring::npos ? 0 : slash);
    for (auto& [key, n] : w_.nodes_) {
      size_t cut = n.path.rfind(L'\\');
      if (cut == std::wstring::npos || FakeWindows::Key(n.path.substr(0, cut)) != FakeWindows::Key(folder)) continue;
      if (WildcardMatch(leaf, n.path.substr(cut + 1))) objects.push_back(&n);
    }
    if (objects.empty()) return err::kFileNotFound;
  } else {
    FakeNode* n = Find(object);
    if (!n) return Missing(object);
    objects.push_back(n);
  }
  std::wstring text;
  for (FakeNode* n : objects) {
    if (!Grants(*n, access::kReadControl)) return err::kAccessDenied;
    text += n->path.substr(n->path.rfind(L'\\') + 1) + L"\r\n" + Descriptor(*n).dacl + L"\r\n";
  }
  return w_.platform().fs.WriteFile(file, ToUtf16Le(text), false).code();
}

uint32_t FakeSecurity::IcaclsRestore(const std::wstring& folder, const std::wstring& file) {
  std::wstring folderKey = FakeWindows::Key(folder);
  bool root = folderKey.size() == 2 && folderKey[1] == L':';
  FakeNode* f = Find(folder);
  if (!root && (!f || !f->folder)) return f ? err::kInvalidParameter : Missing(folder);
  auto bytes = w_.platform().fs.ReadFile(file);
  if (!bytes.ok()) return bytes.code();
  std::vector<std::wstring> lines;
  for (auto& l : Split(FromUtf16Le(*bytes), L"\r\n"))
    if (!l.empty()) lines.push_back(l);
  if (lines.empty() || lines.size() % 2 != 0) return err::kInvalidParameter;
  for (size_t i = 1; i < lines.size(); i += 2)
    if (!ParseDacl(lines[i]).ok) return err::kInvalidParameter;
  uint32_t result = 0;
  for (size_t i = 0; i < lines.size(); i += 2) {
    std::wstring target = (root ? folderKey : folder) + L"\\" + lines[i];
    FakeNode* n = Find(target);
    if (!n) {
      result = Missing(target);
      continue;
    }
    // Writing a DACL needs WRITE_DAC, which the owner always has.
    if (!Grants(*n, access::kWriteDac)) {
      result = err::kAccessDenied;
      continue;
    }
    Descriptor(*n).dacl = lines[i + 1];
  }
  return result;
}

}  // namespace corvex::fake
