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

// The Windows Update Agent's own packages for records of its files, which
// the database does not name: for version 7.6.7600.256 the WSUS update
// KB2720211 (x86, its address asked of the support server), for
// 7.6.7600.320 the agent's redistributable for the machine's architecture.
// Each is named at most once per run.
std::vector<std::wstring> AgentPackagesForRecords(Session& s, DownloadServices& services,
                                                  const std::vector<CorruptFileRecord>& records);

// Downloads and unpacks the packages the database names for the records
// and stages every unpacked file whose digest a record expects. Nothing
// is downloaded without the user's consent. Stage 3 adds the agent's
// packages (AgentPackagesForRecords).
std::vector<StagedReplacement> SourceFromUpdatePackages(Session& s, DownloadServices& services,
                                                        const std::vector<CorruptFileRecord>& records,
                                                        UpdateDatabaseMode mode, wchar_t stage);

enum class ImageDrives {
  kLocal,    // stage 7: fixed and removable drives
  kInserted  // stage 8: DVD and removable drives, after the user was asked to insert the DVD
};

// Mounts every "\sources\install.wim" of those drives read-only and stages
// the records' files found in its store.
std::vector<StagedReplacement> SourceFromInstallImages(Session& s, const std::vector<CorruptFileRecord>& records,
                                                       ImageDrives drives);

// Stage 8's question: the Insert Windows DVD text, paged; any key goes on
// (at once to skip: a drive without a medium then has no install.wim).
void AskForInstallationDvd(Session& s);

}  // namespace corvex
