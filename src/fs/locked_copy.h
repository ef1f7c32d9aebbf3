// Copying a file that another process holds open without read sharing: the
// copy is read from a fresh shadow copy of its volume.
#pragma once

#include <cstdint>
#include <string>

#include "core/session.h"
#include "platform/shadow_copies.h"

namespace corvex {

struct LockedCopyResult {
  bool ok = false;
  // "CopyLockedFile:: failed in location N with error code NAME", with
  // "64bit " in front on the WOW64 route; empty on success.
  std::wstring failure;
  // "WARNING: ..." sentences with "\r\n" when the snapshot could not be
  // deleted (it names the ID); the copy itself may still have worked.
  std::wstring warning;
};

// `from` and `to` may carry the "\\?\" prefix; under WOW64 the path inside
// the snapshot is taken from the real (System32) form of `from`, since the
// snapshot has no Sysnative alias. Only drive paths can be copied. With
// `failIfExists` an existing `to` is never replaced (backups are copied
// this way). A snapshot that got an ID is deleted whatever happens next;
// its ID is kept in the working folder until then.
LockedCopyResult CopyLockedFile(Session& s, const std::wstring& from, const std::wstring& to, bool failIfExists);

// The failure text for a step of the routine.
std::wstring LockedCopyFailure(Session& s, int location, uint32_t code);
std::wstring LockedCopyFailure(Session& s, const platform::ShadowFailure& failure);

// At start: deletes the snapshots a run that ended early left listed.
void DeleteLeftShadowCopies(Session& s);

}  // namespace corvex
