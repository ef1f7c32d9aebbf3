// Shadow copies through WMI's 64-bit provider (under WOW64) or the VSS
// backup components (32-bit Windows).
#pragma once

#include <map>
#include <string>

#include "platform/win32/windows_api.h"

#include "platform/shadow_copies.h"

struct IVssBackupComponents;

namespace corvex::win32 {

class Win32ShadowCopies : public platform::ShadowCopies {
 public:
  Win32ShadowCopies() = default;
  ~Win32ShadowCopies() override;
  Win32ShadowCopies(const Win32ShadowCopies&) = delete;
  Win32ShadowCopies& operator=(const Win32ShadowCopies&) = delete;

  bool Create(platform::ShadowRoute route, const std::wstring& volumeRoot, platform::Snapshot& snapshot,
              platform::ShadowFailure& failure) override;
  platform::Status Delete(const std::wstring& id) override;

 private:
  // A VSS snapshot lives as long as the backup components that made it, so
  // they are kept until Delete; `comOwned` says whether our CoInitialize
  // is to be undone with them.
  struct Held {
    IVssBackupComponents* backup = nullptr;
    bool comOwned = false;
  };
  std::map<std::wstring, Held> held_;
};

}  // namespace corvex::win32
