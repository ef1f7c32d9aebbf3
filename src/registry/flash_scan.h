// The registry flash scan: once per machine, with the user's consent, the
// four component-store trees of the COMPONENTS hive are checked against the
// schema and against a database of known-good keys fetched from the
// registry-database server; keys the database does not know, or knows
// differently, are zipped and submitted to the collection server.
//
// Working files, in the working folder W:
//   RegistryDatabaseAlreadyRun         the scan has been started here once
//   RegistryDatabaseApprovalReceived   the user consented
//   registryDatabaseVersion.txt        version of the database held locally
//   WindowsUpdateRegistryDatabase\     the database, one text file a tree:
//     catalogs.txt, deployments.txt, components.txt, versionedIndexes
//     (one line a key in the text form of registry/database_entry.h)
//   WindowsUpdateRegistryDatabase\PendingSubmission\   what is submitted
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/session.h"
#include "registry/database_entry.h"

namespace corvex {

// What the scan needs from the online services and the console screens,
// which live beside this layer; the program wires them up, tests may too.
class FlashScanServices {
 public:
  virtual ~FlashScanServices() = default;
  // The registry-database server's address for `pathAndQuery`.
  virtual std::wstring DatabaseServerUrl(const std::wstring& pathAndQuery) = 0;
  // Whether a download address the server names may be fetched: https, or
  // http to the loopback test server.
  virtual bool IsAcceptableDownload(const std::wstring& url) = 0;
  // The address removed from the URL cache and fetched without progress: 0
  // or the failure's Win32 code. An error page is a failure.
  virtual uint32_t Download(const std::wstring& url, const std::wstring& target) = 0;
  // The same with the progress bar under `title`.
  virtual bool DownloadWithProgress(const std::wstring& url, const std::wstring& target,
                                    const std::wstring& title) = 0;
  // The 7z archive into the existing folder: empty, or the failure's reason.
  virtual std::wstring Extract7z(const std::wstring& archive, const std::wstring& folder) = 0;
  // The file added to the zip (made when missing): 0 or the Win32 code.
  virtual uint32_t AddToZip(const std::wstring& zip, const std::wstring& file) = 0;
  // Collect:: with the line "RFSS|" + zip: the upload's success; what it
  // has to say goes into `report`.
  virtual bool Submit(const std::wstring& zip, std::wstring& report) = 0;
  // The consent question on a cleared console; the key typed.
  virtual wchar_t AskConsent(const std::wstring& text) = 0;
  // Blanks the console once the scan is over.
  virtual void ClearConsole() = 0;
};

// The scan. True at once when it has run on this machine before or the
// user declines; otherwise whether every stage succeeded. Sentences for the
// session log's footer go into s.flashScanReport.
bool RunRegistryFlashScan(Session& s, FlashScanServices& services);

// One tree walked by stages 3 to 5.
struct ScanLocation {
  std::wstring fileName;      // database file, later the submission file's name
  std::wstring registryPath;  // below HKEY_LOCAL_MACHINE
  EntryKind kind = EntryKind::kCatalog;
  size_t schemaIndex = 0;
  bool databaseRead = false;  // a tree without its database is not submitted
  RegistryDatabase database;
  std::vector<std::unique_ptr<RegistryKeyDatabaseEntry>> submission;
};

// The live key at `keyPath` below HKEY_LOCAL_MACHINE (open with query and
// enumerate rights) in its tree's terms, with the schema result stored in it.
std::unique_ptr<RegistryKeyDatabaseEntry> ReadLiveEntry(Session& s, EntryKind kind, const std::wstring& keyPath,
                                                        const platform::RegistryKey& key, uint32_t schemaResult);

// Stages 3 to 5 over one location: every subkey of the tree checked,
// read and kept for submission when the database lacks it or differs.
// Failures are sentences in `report`; false when any happened.
bool WalkLocation(Session& s, ScanLocation& location, const std::wstring& stage, std::wstring& report);

}  // namespace corvex
