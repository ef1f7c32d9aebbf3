// The repair stages that take good copies of corrupt store files from
// Microsoft's own packages: update packages named by the Windows Update
// database (stages 3 and 6) and the install.wim of an installation medium
// on a local drive (stage 7).
//
// The database's tables name packages in their second field:
//   payload tables    "<Base64 SHA-256 of the file>|<package>|<file name>"
//   manifest table    "<component folder under WinSxS>|<package>|<manifest name>"
// where <package> is a knowledge-base number ("KB" before it optional) or
// an https address on Microsoft's download servers.
#pragma once

#include <string>
#include <vector>

#include "analysis/update_database.h"
#include "core/analysis_state.h"
#include "core/session.h"

namespace corvex {

// A good copy of records[record], copied into the Temp working folder and
// checked there against the manifest digest.
struct StagedReplacement {
  size_t record = 0;
  std::wstring path;
};

// The packages the database names for the records: by file digest in the
// payload tables, by component folder in the manifest table. Each package
// is named once, in the order first found.
std::vector<std::wstring> PackagesForRecords(Session& s, DownloadServices& services,
                                             const std::vector<CorruptFileRecord>& records, UpdateDatabaseMode mode);

// Downloads and unpacks the packages the database names for the records
// and stages every unpacked file whose digest a record expects. Nothing
// is downloaded without the user's consent.
std::vector<StagedReplacement> SourceFromUpdatePackages(Session& s, DownloadServices& services,
                                                        const std::vector<CorruptFileRecord>& records,
                                                        UpdateDatabaseMode mode, wchar_t stage);

// Mounts every "\sources\install.wim" of the fixed and removable drives
// read-only and stages the records' files found in its store.
std::vector<StagedReplacement> SourceFromInstallImages(Session& s, const std::vector<CorruptFileRecord>& records);

}  // namespace corvex
