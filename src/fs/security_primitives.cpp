#include "fs/security_primitives.h"

#include "base/path.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "base/text.h"

namespace corvex {

namespace err = platform::err;

static platform::Security& Os(Session& s) { return s.os.security; }

// Traces the failure with its code, then starts the state afresh.
static bool Fail(Session& s, uint32_t code, const std::wstring& message, uint32_t* out = nullptr) {
  TraceErrorCode(s, code, message);
  ReleaseSecurityState(s);
  if (out) *out = code;
  return false;
}

void ReleaseSecurityState(Session& s) {
  SecurityState& st = s.security;
  st.currentProcessToken.reset();
  st.currentUserSid.clear();
  st.trustedInstallerSid.clear();
  st.everyoneSid.clear();
  st.everyoneDacl.clear();
}

bool OpenCurrentProcessToken(Session& s, uint32_t* code) {
  SecurityState& st = s.security;
  if (st.currentProcessToken) return true;
  auto token = Os(s).OpenProcessToken();
  if (!token.ok()) return Fail(s, token.code(), L"Failed to initialize CurrentProcessToken: ", code);
  st.currentProcessToken = std::move(*token);
  TraceInfo(s, L"Successfully initialized CurrentProcessToken.");
  return true;
}

bool SetPrivilege(Session& s, const std::wstring& name, bool enable, uint32_t* code) {
  if (!OpenCurrentProcessToken(s, code)) return false;
  auto luid = Os(s).LookupPrivilege(name);
  if (!luid.ok()) return Fail(s, luid.code(), L"Failed to lookup privileges: ", code);
  TraceInfo(s, L"Successfully found the privilege.");
  TraceInfo(s, (enable ? L"Privilege is going to be enabled: " : L"Privilege is going to be disabled: ") + name);
  auto st = Os(s).AdjustPrivilege(s.security.currentProcessToken, *luid, enable);
  if (!st.ok()) return Fail(s, st.code(), L"Privilege application of privilege " + name + L" failed: ", code);
  TraceInfo(s, L"Privilege application of privilege " + name + L" succeeded. ");
  return true;
}

// One privilege switched with the wrapper's own trace lines, `shown` being
// the name those lines use.
static bool SwitchPrivilege(Session& s, const std::wstring& name, const std::wstring& shown, bool enable) {
  uint32_t code = 0;
  if (!SetPrivilege(s, name, enable, &code)) {
    TraceErrorCode(s, code, (enable ? L"Failed to set " : L"Failed to un-set ") + shown + L" privilege: ");
    return false;
  }
  TraceInfo(s, (enable ? L"Successfully set " : L"Successfully un-set ") + shown + L" privilege.");
  return true;
}

bool EnableRestorePrivilege(Session& s) { return SwitchPrivilege(s, L"SeRestorePrivilege", L"SE_RESTORE_NAME", true); }
bool DisableRestorePrivilege(Session& s) {
  return SwitchPrivilege(s, L"SeRestorePrivilege", L"SE_RESTORE_NAME", false);
}
bool EnableNamedPrivilege(Session& s, const std::wstring& name) { return SwitchPrivilege(s, name, name, true); }
bool DisableNamedPrivilege(Session& s, const std::wstring& name) { return SwitchPrivilege(s, name, name, false); }
bool SetTakeOwnershipPrivilege(Session& s, bool enable) {
  return SwitchPrivilege(s, L"SeTakeOwnershipPrivilege", L"SE_TAKE_OWNERSHIP_NAME", enable);
}

bool InitCurrentUserSid(Session& s) {
  auto name = Os(s).UserName();
  if (!name.ok()) return Fail(s, name.code(), L"Failed to initialize Current User username: ");
  auto sid = Os(s).AccountSid(*name);
  if (!sid.ok()) return Fail(s, sid.code(), L"Failed to load Current User account: ");
  auto valid = Os(s).CheckStringSid(*sid);
  if (!valid.ok()) return Fail(s, valid.code(), L"Failed to initialize Current User SID: ");
  s.security.currentUserSid = *sid;
  TraceInfo(s, L"Current User SID was initialized successfully.");
  return true;
}

bool InitTrustedInstallerSid(Session& s) {
  SecurityState& st = s.security;
  if (!st.trustedInstallerSid.empty()) return true;
  auto valid = Os(s).CheckStringSid(platform::sid::kTrustedInstaller);
  if (!valid.ok()) return Fail(s, valid.code(), L"Failed to create TrustedInstaller SID: ");
  st.trustedInstallerSid = platform::sid::kTrustedInstaller;
  TraceInfo(s, L"Successfully created TrustedInstaller SID.");
  return true;
}

static platform::Status MakeEveryoneSid(Session& s) {
  auto sid = Os(s).EveryoneSid();
  if (!sid.ok()) {
    Fail(s, sid.code(), L"Failed to initialize Everyone SID: ");
    return sid.status();
  }
  s.security.everyoneSid = *sid;
  TraceInfo(s, L"Everyone SID was initialized successfully.");
  return platform::Status::Ok();
}

bool InitEveryoneSid(Session& s) { return MakeEveryoneSid(s).ok(); }

static platform::Status MakeEveryoneDacl(Session& s) {
  if (s.security.everyoneSid.empty()) {
    auto made = MakeEveryoneSid(s);
    if (!made.ok()) return made;
  }
  TraceInfo(s, L"EXPLICIT_ACCESS initialized successfully.");
  SecurityState& st = s.security;
  auto dacl = Os(s).BuildFullAccessDacl(st.everyoneSid);
  if (!dacl.ok()) {
    Fail(s, dacl.code(), L"Failed to set entries in ACL: ");
    return dacl.status();
  }
  st.everyoneDacl = *dacl;
  TraceInfo(s, L"Successfully set entries in ACL.");
  return platform::Status::Ok();
}

bool BuildEveryoneDacl(Session& s) { return MakeEveryoneDacl(s).ok(); }

platform::Status SetOwner(Session& s, const std::wstring& sid, const std::wstring& path) {
  // An empty SID would be a null owner; refused before Windows sees it.
  platform::Status st = sid.empty() ? platform::Status(platform::Error{err::kInvalidParameter})
                                    : Os(s).SetOwner(MapSystem32Path(s, path), sid);
  if (!st.ok()) {
    Fail(s, st.code(), L"Failed to set owner for " + StripLongPathPrefix(path) + L". Error code: ");
    return st;
  }
  TraceInfo(s, L"Successfully set owner for " + StripLongPathPrefix(path));
  return st;
}

platform::Result<std::wstring> ReadOwner(Session& s, const std::wstring& path) {
  auto owner = Os(s).ReadOwner(MapSystem32Path(s, path));
  if (!owner.ok()) {
    if (owner.code() == err::kAccessDenied) {
      TraceError(s, L"Failed to read owner: ERROR_ACCESS_DENIED");
      ReleaseSecurityState(s);
    } else {
      Fail(s, owner.code(), L"Failed to read owner: ");
    }
    return owner;
  }
  TraceInfo(s, L"Successfully read owner.");
  return owner;
}

platform::Status SetEveryoneDacl(Session& s, const std::wstring& path) {
  // A missing DACL must never reach SetNamedSecurityInfoW: a null DACL would
  // open the object to everyone without any entry at all.
  if (s.security.everyoneDacl.empty()) {
    auto made = MakeEveryoneDacl(s);
    if (!made.ok()) return made;
  }
  auto st = Os(s).SetDacl(MapSystem32Path(s, path), s.security.everyoneDacl);
  if (!st.ok()) {
    if (st.code() == err::kAccessDenied) {
      TraceError(s, L"Failed to set DACL: ERROR_ACCESS_DENIED");
      ReleaseSecurityState(s);
    } else {
      Fail(s, st.code(), L"Failed to set DACL: ");
    }
    return st;
  }
  TraceInfo(s, L"Successfully set DACL.");
  return st;
}

bool WriteOwner(Session& s, std::wstring& report, const std::wstring& pathIn, const std::wstring& ownerText,
                OwnerWrite why) {
  const std::wstring path = StripLongPathPrefix(pathIn);
  std::wstring owner = Trim(ownerText);
  if (owner == platform::sid::kNull) {
    report += L"Failed to restore ownership: Ownership SID was never successfully read for file or folder " + path +
              L".\r\n";
    return false;
  }
  ReleaseSecurityState(s);
  if (!OpenCurrentProcessToken(s))
    report += L"Failed to initialize current process access token in WriteOwner function.\r\n";
  if (!EnableRestorePrivilege(s)) report += L"Failed to enable privilege in access token in WriteOwner function.\r\n";
  if (!SetTakeOwnershipPrivilege(s, true))
    report += L"Failed to enable privilege in access token in WriteOwner function.\r\n";
  if (!InitCurrentUserSid(s)) report += L"Failed to initialize Current User SID in WriteOwner function.\r\n";

  auto valid = Os(s).CheckStringSid(owner);
  if (!valid.ok()) {
    TraceErrorCode(s, valid.code(), L"Failed to convert the recorded owner " + owner + L" to a SID: ");
    report += L"Failed to initialize SID in WriteOwner function with error code " + ErrorCodeName(valid.code()) +
              L".\r\n";
    ReleaseSecurityState(s);
    return false;
  }

  // Owning the object first lets the second write succeed where only the
  // owner may change it.
  std::wstring currentUser = s.security.currentUserSid;
  if (!SetOwner(s, currentUser, pathIn).ok())
    report += L"Failed to set ownership to current user for file or folder " + path +
              L" in WriteOwner function. Proceeding anyway.\r\n";

  auto restored = SetOwner(s, owner, pathIn);
  if (!restored.ok())
    report += L"Failed to restore ownership for " + path + L" in WriteOwner function. Error code " +
              HexCode(restored.code()) + L"\r\n";
  else if (why == OwnerWrite::kRestore)
    report += L"Successfully restored ownership for " + path + L"\r\n";
  else
    report += L"Undid the ownership change on " + path + L": its owner is " + owner + L" again.\r\n";
  bool ok = restored.ok();
  if (!DisableOwnershipPrivileges(s, L" in WriteOwner function.\r\n", report)) ok = false;
  ReleaseSecurityState(s);
  return ok;
}

bool DisableOwnershipPrivileges(Session& s, const std::wstring& where, std::wstring& report) {
  bool ok = true;
  if (!DisableRestorePrivilege(s)) {
    report += L"Failed to disable privilege 1 in process access token" + where;
    ok = false;
  }
  if (!SetTakeOwnershipPrivilege(s, false)) {
    report += L"Failed to disable privilege 2 in process access token" + where;
    ok = false;
  }
  return ok;
}

}  // namespace corvex
