// Update-package readers on Windows: cabinet.dll's FDI and msi.dll.
#pragma once

#include "platform/packages.h"

namespace corvex::win32 {

class Win32Packages : public platform::Packages {
 public:
  platform::Result<std::vector<platform::PackageEntry>> ListCabinet(const std::wstring& cabinet) override;
  platform::Status ExtractCabinet(const std::wstring& cabinet, const platform::PlaceEntry& place) override;
  platform::Result<platform::InstallerContents> ExtractInstallerStreams(const std::wstring& database,
                                                                        const platform::PlaceEntry& place) override;
};

}  // namespace corvex::win32
