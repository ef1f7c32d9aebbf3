// What the automatic analysis keeps for the whole process: the corruption
// counters, the damaged store files waiting for a replacement, the
// replacement lines, the explanation pages and the run flags. A second
// AutoAnalysis:: in one run adds to them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvex {

// The COMPONENTS hive's store directories by component, built once per run
// by the store-name lookup (analysis/store_names.h).
struct StoreIndex;
// The corrupt file list's paths, for its duplicate test
// (analysis/corrupt_file.h).
struct CorruptPathIndex;

// One damaged component-store file.
struct CorruptFileRecord {
  std::wstring storePath;       // %SystemRoot%\winsxs\<directory>\<file>, expanded
  std::wstring expectedDigest;  // Base64 SHA-256 from the manifest, or "UNKNOWN"
  std::wstring actualDigest;    // Base64 SHA-256 of the file on disk
  int32_t origin = 0;           // 0: reported by SFC; above 30: a SURT finding
};

struct CorruptionCounters {
  uint32_t cbsDetected = 0;
  uint32_t cbsUnimportant = 0;
  uint32_t cbsFixed = 0;
  uint32_t surtDetected = 0;
  uint32_t surtUnimportant = 0;
  uint32_t surtFixed = 0;
};

struct AnalysisState {
  CorruptionCounters counters;
  std::vector<CorruptFileRecord> corruptFiles;
  // PowerCopy:: lines; "[MODE:1]" first once a run has started.
  std::vector<std::wstring> replacements;
  // Long texts shown one by one after the summary.
  std::vector<std::wstring> explanations;
  std::vector<std::wstring> placementNotes;
  // Watchlist keys exported in this process (stage 1): each only once.
  std::vector<std::wstring> watchlistBackups;
  std::wstring sourcingReport;

  bool dismDone = false;
  bool dismWanted = false;
  bool settingsIniExplained = false;
  bool tcpmonIniExplained = false;
  bool ie10Explained = false;
  bool cnbj2530Repaired = false;

  // The Windows Update database's version is checked once per process.
  bool updateDatabaseChecked = false;
  // Downloads from Microsoft: what is left of the 100 MiB allowance, whether
  // they are still allowed (a declined consent ends them for the process)
  // and whether the user has consented.
  uint64_t downloadAllowance = 100ull * 1024 * 1024;
  bool downloadsAllowed = true;
  bool downloadConsent = false;
  // Stage 3's Windows Update Agent packages (KB2720211 for agent
  // 7.6.7600.256, the 7.6.7600.320 redistributable): each asked for once.
  bool agent256PackageAsked = false;
  bool agent320PackageAsked = false;

  // What could not be examined (an unreadable log, a failed search or tool
  // run, record lines that did not parse), one sentence each. A run with
  // any of these never reports "no corruption".
  std::vector<std::wstring> notExamined;

  // Dropped whenever the hive is unloaded or searched afresh.
  std::shared_ptr<StoreIndex> storeIndex;
  std::shared_ptr<CorruptPathIndex> corruptPathIndex;
};

}  // namespace corvex
