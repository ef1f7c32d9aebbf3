// Readers of update-package containers: cabinets (.cab, .msu) and installer
// databases (.msi, .msp). Entry names come from a stranger's file, so a
// reader never picks where an entry lands: it asks the caller's `place`
// for a destination (empty: the entry is not written) before it writes a
// byte, and writes through the file system the caller would use.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace corvex::platform {

namespace package_err {
constexpr uint32_t kCorrupt = 13;        // ERROR_INVALID_DATA: the container does not decode
constexpr uint32_t kNotSupported = 50;   // ERROR_NOT_SUPPORTED: no reader for it here
}  // namespace package_err

struct PackageEntry {
  std::wstring name;  // as stored: '\' separates folders in a cabinet
  uint64_t size = 0;  // uncompressed
};

// Destination path for an entry, or "" to leave it out. Called once per
// entry, just before the entry is written.
using PlaceEntry = std::function<std::wstring(const PackageEntry&)>;

struct InstallerContents {
  // Streams written; cabinets among them carry ".cab" added to their name.
  std::vector<std::wstring> written;
  // Embedded storages (transforms) this reader did not write out.
  std::vector<std::wstring> storagesNotRead;
};

class Packages {
 public:
  virtual ~Packages() = default;
  // Every entry of the cabinet, read from its headers alone.
  virtual Result<std::vector<PackageEntry>> ListCabinet(const std::wstring& cabinet) = 0;
  // Decompresses each entry that `place` gives a destination. A corrupt
  // block fails the call (ERROR_BAD_FORMAT or the write's code); what was
  // written before stays for the caller to judge.
  virtual Status ExtractCabinet(const std::wstring& cabinet, const PlaceEntry& place) = 0;
  // The `_Streams` table's streams, each written where `place` says.
  virtual Result<InstallerContents> ExtractInstallerStreams(const std::wstring& database, const PlaceEntry& place) = 0;
};

}  // namespace corvex::platform
