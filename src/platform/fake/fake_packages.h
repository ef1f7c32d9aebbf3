// Package readers of the fake: real cabinets decompressed by libmspack and
// real installer databases read by libmsi, both native-only. The container
// is read and the entries written through the fake's file system, so its
// faults and DACLs apply. In the Windows cross build every call answers
// ERROR_NOT_SUPPORTED.
#pragma once

#include "platform/filesystem.h"
#include "platform/packages.h"

namespace corvex::fake {

class FakePackages : public platform::Packages {
 public:
  explicit FakePackages(platform::FileSystem& fs) : fs_(fs) {}

  platform::Result<std::vector<platform::PackageEntry>> ListCabinet(const std::wstring& cabinet) override;
  platform::Status ExtractCabinet(const std::wstring& cabinet, const platform::PlaceEntry& place) override;
  platform::Result<platform::InstallerContents> ExtractInstallerStreams(const std::wstring& database,
                                                                        const platform::PlaceEntry& place) override;

 private:
  platform::FileSystem& fs_;
};

// Cabinet reading over bytes in memory, for the fuzz target: the entries,
// or a failure when the headers do not parse or (with `extract`) an
// entry's data does not decode; entries over 16 MiB are not decoded.
platform::Result<std::vector<platform::PackageEntry>> ReadCabinetBytes(const std::string& cabinet, bool extract);

}  // namespace corvex::fake
