// Volume shadow copies: made for one copy of a file another process holds
// open, and deleted again.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace corvex::platform {

// How a snapshot is made. A 32-bit process on 64-bit Windows cannot drive
// the shadow-copy service itself: it goes through WMI's 64-bit provider
// (Win32_ShadowCopy) and deletes through the native vssadmin. On 32-bit
// Windows the backup components of the VSS API make and delete it.
enum class ShadowRoute { kWmi64, kVssApi };

struct Snapshot {
  // "{GUID}" of the snapshot; set as soon as it is known, even when a later
  // step fails, so that the caller can delete what was made.
  std::wstring id;
  // "\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopyN", no trailing
  // backslash: a file's path after its drive letter and colon follows.
  std::wstring deviceObject;
};

// Where making a snapshot stopped. Locations of kWmi64: 0 COM, 1 COM
// security, 2 WMI locator, 3 namespace, 4 proxy blanket, 5 Create, 6 the
// query for the device object. kVssApi: 0 COM, 1 backup components,
// 2 InitializeForBackup, 3 GatherWriterMetadata, 4 its wait, 5
// StartSnapshotSet, 6 AddToSnapshotSet, 7 SetBackupState, 8
// PrepareForBackup, 9 its wait, 10 DoSnapshotSet, 11 its wait, 12
// GetSnapshotProperties.
struct ShadowFailure {
  int location = 0;
  uint32_t code = 0;  // Win32 code or HRESULT
  // Win32_ShadowCopy.Create's ReturnValue when the call went through but
  // the method refused (location 5 of kWmi64); 0 otherwise.
  uint32_t returnValue = 0;
};

class ShadowCopies {
 public:
  virtual ~ShadowCopies() = default;
  // A snapshot of the volume `volumeRoot` ("C:\"). False with `failure`
  // filled when a step failed; `snapshot.id` may still be set then.
  virtual bool Create(ShadowRoute route, const std::wstring& volumeRoot, Snapshot& snapshot,
                      ShadowFailure& failure) = 0;
  // Deletes a kVssApi snapshot by its ID (forced) and lets go of what
  // Create kept for it; a snapshot that is gone already counts as deleted.
  // kWmi64 snapshots are deleted by the native vssadmin, not here.
  virtual Status Delete(const std::wstring& id) = 0;
};

}  // namespace corvex::platform
