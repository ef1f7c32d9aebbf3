// Checks of the component store itself: store directories the COMPONENTS
// hive names but the disk lacks, the hive file's health, the known crossed
// hard link of Windows 7, and the lookup from a component identity to its
// store directory names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "script/directive.h"

namespace corvex {

struct MissingStoreDirectories {
  int32_t returnCode = 0;  // 0 on success
  uint32_t errorCode = 0;  // the Win32 code of the failure
  std::vector<std::wstring> paths;  // %SystemRoot%\winsxs\<key name>, expanded
};

MissingStoreDirectories FindMissingStoreDirectories(Session& s, std::wstring& log);
// Writes warnings only.
void TestComponentsHive(Session& s, std::wstring& log);
// Whether the file loads as a hive (under a scratch key, unloaded again).
// Loading may change the file: pass a copy.
bool HiveFileLoads(Session& s, const std::wstring& file);
// Repairs and counts.
void RepairCrossedHardlink(Session& s, std::wstring& log);

struct StoreNames {
  uint32_t returnCode = 0;  // 0 on success, above 0 on failure
  std::vector<std::wstring> names;
};

StoreNames StoreNamesFromIdentity(Session& s, const std::wstring& name, const std::wstring& version,
                                  const std::wstring& architecture, const std::wstring& culture,
                                  const std::wstring& publicKeyToken);

}  // namespace corvex
