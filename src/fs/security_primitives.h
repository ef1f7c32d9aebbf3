// The security operations every directive that changes a protected object
// needs: privileges of the process token, the SIDs of the current user,
// Everyone and TrustedInstaller, owners and the Everyone DACL. They write
// Info and Error lines to the trace and nothing to the session log; on a
// failure they trace it, release the security state and return false, so the
// next operation starts from nothing and makes again what it needs.
//
// Paths are shown without a "\\?\" prefix in sentences and mapped with
// MapSystem32Path for the calls themselves.
#pragma once

#include <cstdint>
#include <string>

#include "core/session.h"
#include "platform/result.h"

namespace corvex {

// Opens CurrentProcessToken (TOKEN_ADJUST_PRIVILEGES) unless one is held.
bool OpenCurrentProcessToken(Session& s, uint32_t* code = nullptr);
// Switches one privilege of the process token on or off; opens the token
// first if none is held. A privilege the token lacks is a failure
// (ERROR_NOT_ALL_ASSIGNED), though Windows reports the call as done.
bool SetPrivilege(Session& s, const std::wstring& name, bool enable, uint32_t* code = nullptr);
bool EnableRestorePrivilege(Session& s);
bool DisableRestorePrivilege(Session& s);
bool EnableNamedPrivilege(Session& s, const std::wstring& name);
bool DisableNamedPrivilege(Session& s, const std::wstring& name);
// SetPrivilege with "SeTakeOwnershipPrivilege" and its own trace lines.
bool SetTakeOwnershipPrivilege(Session& s, bool enable);
// Switches the restore and take-ownership privileges off, writing
// "Failed to disable privilege 1 in process access token" + `where` (and the
// same for privilege 2) to the report for each that fails. False on a failure.
bool DisableOwnershipPrivileges(Session& s, const std::wstring& where, std::wstring& report);

bool InitCurrentUserSid(Session& s);
// Made only while none is held.
bool InitTrustedInstallerSid(Session& s);
bool InitEveryoneSid(Session& s);
// The one-entry DACL giving Everyone full control, inherited by sub-folders
// and files; makes the Everyone SID first if none is held.
bool BuildEveryoneDacl(Session& s);

// SetNamedSecurityInfoW with the owner only; fails with the Win32 code.
platform::Status SetOwner(Session& s, const std::wstring& sid, const std::wstring& path);
// The owner as a string SID, or the code of the failed read.
platform::Result<std::wstring> ReadOwner(Session& s, const std::wstring& path);
// Puts the Everyone DACL on the object (building it if none is held).
platform::Status SetEveryoneDacl(Session& s, const std::wstring& path);
// Why an owner is written back, which decides what its success says.
enum class OwnerWrite {
  kRestore,  // recorded security put back: "Successfully restored ownership for <path>"
  kUndo,     // our own change taken back after a failure: "Undid the ownership change on <path> ..."
};
// Gives the object back a recorded owner, writing its failures (and its
// success) as session-log sentences into `report`; false when the owner is
// not back or a privilege could not be switched off. A recorded owner of
// "S-1-0-0" (never read) changes nothing.
bool WriteOwner(Session& s, std::wstring& report, const std::wstring& path, const std::wstring& owner,
                OwnerWrite why = OwnerWrite::kRestore);

void ReleaseSecurityState(Session& s);

}  // namespace corvex
