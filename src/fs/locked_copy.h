// Copying a file that another process holds open without read sharing: the
// copy is read from a fresh shadow copy of its volume.
#pragma once

#include <cstdint>
#include <string>

#include "core/session.h"

namespace corvex {

struct LockedCopyResult {
  bool ok = false;
  // "CopyLockedFile:: failed in location N with error code NAME", with
  // "64bit " in front on the WOW64 route; empty on success.
  std::wstring failure;
};

// `from` and `to` may carry the "\\?\" prefix; under WOW64 the path inside
// the snapshot must be taken from the real (System32) form of `from`, since
// the snapshot has no Sysnative alias. With `failIfExists` an existing `to`
// is never replaced (backups are copied this way).
LockedCopyResult CopyLockedFile(Session& s, const std::wstring& from, const std::wstring& to, bool failIfExists);

// The failure text for a step of the routine.
std::wstring LockedCopyFailure(Session& s, int location, uint32_t code);

}  // namespace corvex
