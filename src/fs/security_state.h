// The process-wide security objects that the security primitives share: the
// process token and the SIDs and DACL they make. Each slot is empty until a
// primitive fills it; ReleaseSecurityState empties them all.
#pragma once

#include <string>

#include "core/session.h"
#include "platform/security.h"

namespace corvex {

struct SecurityState {
  platform::Token currentProcessToken;
  std::wstring currentUserSid;
  std::wstring trustedInstallerSid;
  std::wstring everyoneSid;
  std::wstring everyoneDacl;  // SDDL of the one-entry Everyone DACL
};

// The session's state, created on first use.
SecurityState& SecurityStateOf(Session& s);

}  // namespace corvex
