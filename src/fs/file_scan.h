// The volume-wide search of FileScan::: every copy of named files found
// through the volume's file table, with each copy's hard links and, for a
// copy in the component store, how its hash and version compare with the
// component's manifest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/session.h"
#include "fs/hardlinks.h"

namespace corvex {

struct VolumeScan {
  // One record per file whose name is wanted, in the order of the table.
  std::vector<HardLinkRecord> files;
  // The code that stopped the enumeration early; 0 when it ran to the end.
  uint32_t stoppedWith = 0;
  // The links of this many found files could not be listed.
  size_t unlisted = 0;
  bool complete() const { return stoppedWith == 0 && unlisted == 0; }
};

// Names are bare file names, matched by length first and then without
// regard to case; folders never match.
VolumeScan ScanVolumeForNames(Session& s, wchar_t drive, const std::vector<std::wstring>& names);

// A link "X:\Windows\WinSxS\<component>\<file>" (the second and third
// components compared without regard to case), split up.
struct StoreLink {
  std::wstring path;
  std::wstring storeFolder;  // "X:\Windows\WinSxS"
  std::wstring component;    // the folder right under it
  std::wstring fileName;     // the rest, as the manifest names the file
};
// The first store link of a file; false when it has none (untraceable).
bool FindStoreLink(const HardLinkRecord& file, StoreLink& out);

// "10.0.19041.1" from "amd64_name_31bf3856ad364e35_10.0.19041.1_none_<hash>";
// empty when the name holds no version in that place.
std::wstring ComponentVersion(const std::wstring& component);

// The report of found file number `index`: its links, then for a store
// copy the manifest comparison and the component's trace.
std::wstring DescribeFoundFile(Session& s, size_t index, const HardLinkRecord& file, const std::wstring& archive);

}  // namespace corvex
