// The Windows Update database: text tables, kept in the working folder W,
// that tell which update package carries a component manifest or a payload
// file. Fetched with the user's consent from the database host and replaced
// when a newer version is published.
//
//   W\databaseVersion.txt                 version of the tables held, written
//                                         only once they are in place
//   W\WindowsUpdateDatabase\              the tables (UTF-8 or ASCII lines,
//     IndexedLookupTable.txt              "key|value": the payload table of a key
//     ManifestDatabase.txt                "key|field|field...", at least 3 fields
//     PayloadDatabase...                  the same, named by the index's values
//
// A line answers a key when its first "|"-separated field is the key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/download_services.h"
#include "core/session.h"

namespace corvex {

enum class UpdateDatabaseMode { kPayload = 1, kManifest = 2 };

enum class DatabaseCheck {
  kCurrent,     // the tables held are as new as the published ones
  kNoVersion,   // the published version could not be had or made no sense
  kDeclined,    // the user said no; the old tables (if any) stay in use
  kInstalled,   // the new tables are in place
  kFailed,      // download or unpacking failed; the old tables stay in use
};

// The fields of a version of digits separated by dots ("1.2.10"); nothing
// when the text is anything else (empty fields included).
std::optional<std::vector<uint32_t>> ParseDatabaseVersion(const std::wstring& text);
// Field by field, a missing field counting as 0: below 0 when a is older.
int CompareDatabaseVersions(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b);

// Asks to download the tables when none are held or a newer version is
// published, and installs them on yes: unpacked beside the old ones, swapped
// in whole, the version written last.
DatabaseCheck EnsureUpdateDatabase(Session& s, DownloadServices& services);

// For each key (in the order given) the value of its index line, or nothing.
std::vector<std::optional<std::wstring>> LookUpIndex(Session& s, const std::vector<std::wstring>& keys);

// For each key (in the order given) its lines of the table the mode names,
// "\r" dropped; a payload key's table is the one its index line names. The
// first call in a process checks the database's version first. Any other
// mode finds nothing.
std::vector<std::vector<std::wstring>> LookUpUpdateDatabase(Session& s, DownloadServices& services,
                                                            const std::vector<std::wstring>& keys,
                                                            UpdateDatabaseMode mode);

}  // namespace corvex
