#include "fs/locked_copy.h"

#include "base/text.h"
#include "core/session_log.h"
#include "core/system_facts.h"

namespace corvex {

namespace {
constexpr uint32_t kNotSupported = 50;  // ERROR_NOT_SUPPORTED
}  // namespace

std::wstring LockedCopyFailure(Session& s, int location, uint32_t code) {
  return std::wstring(IsWow64(s) ? L"64bit " : L"") + L"CopyLockedFile:: failed in location " +
         DecimalSigned(location) + L" with error code " + ErrorCodeName(code);
}

// The shadow-copy machinery (COM, WMI's 64-bit provider, the VSS backup
// components) is not carried by this build: the routine stops where its
// first step would start, and says so in its own failure form.
LockedCopyResult CopyLockedFile(Session& s, const std::wstring& from, const std::wstring& to, bool) {
  TraceError(s, L"No shadow copy available to copy locked file " + from + L" to " + to);
  return {false, LockedCopyFailure(s, 0, kNotSupported)};
}

}  // namespace corvex
