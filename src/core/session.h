// The state of one servicing session: logs, console discipline, run facts and
// flags. Handlers get it with the platform, so every test starts afresh.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/analysis_state.h"
#include "platform/platform.h"

namespace corvex {

// Defined by the automatic analysis (analysis/download_services.h).
class DownloadServices;

// The support web site, named in the console title, the welcome line and
// the summary.
inline constexpr wchar_t kSupportDomain[] = L"tallwen.net";

enum class RunResult { kFailed = 0, kSucceeded = 1, kSucceededRebootPending = 2, kFailedRebootPending = 3 };

// Skip-mask bits of the Debug:: directive.
namespace skip {
constexpr uint32_t kFileCopy = 0x1;
constexpr uint32_t kRegistryImport = 0x2;
constexpr uint32_t kCbsLog = 0x4;
constexpr uint32_t kCheckSurLog = 0x8;
constexpr uint32_t kStoreDirectories = 0x10;
}  // namespace skip

// What a Reboot:: directive, a crash handler or the ID restart needs to save
// the session. The buffers themselves live in the session.
struct RebootContext {
  bool valid = false;
  bool saved = false;
  std::wstring scriptText;
  std::wstring scriptPath;
};

// The security objects the security primitives share: the process token and
// the SIDs and DACL they make. Each slot is empty until a primitive fills it;
// ReleaseSecurityState empties them all.
struct SecurityState {
  platform::Token currentProcessToken;
  std::wstring currentUserSid;
  std::wstring trustedInstallerSid;
  std::wstring everyoneSid;
  std::wstring everyoneDacl;  // SDDL of the one-entry Everyone DACL
};

struct Session {
  explicit Session(platform::Platform& os);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  platform::Platform& os;

  // Session log and debug trace.
  std::wstring log;
  std::wstring trace;
  bool saveDebugLog = false;
  uint32_t skipMask = 0;

  // Console discipline.
  bool hold = false;
  bool mirror = false;
  std::wstring transcript;

  // Program facts.
  std::wstring programPath;
  std::wstring programFolder;
  std::wstring programVersion;
  bool versionKnown = false;
  // The LocalAppData known folder, found once (FindLocalAppData).
  std::wstring localAppData;

  // Script.
  std::wstring scriptPath;
  std::wstring scriptHash;
  int scriptListCount = 0;

  // Run flags.
  bool deferredFlashScan = false;
  bool idRestart = false;
  // The ID-stamped copy of the program, held against writes from its check
  // until the ID restart has started it.
  std::unique_ptr<platform::File> idCopyHold;
  // Collect:: empties its staging folder once per process.
  bool collectStagingEmptied = false;
  bool rebootRequired = false;
  std::wstring flashScanReport;
  // The registry flash scan, when the program has one wired up: the entry
  // and a deferred start's automatic analysis run it.
  bool (*runFlashScan)(Session& s) = nullptr;
  // The downloads of the Windows Update database and of Microsoft's
  // packages, when the program has them wired up; without them the repair
  // stages that need them are skipped.
  DownloadServices* downloads = nullptr;
  RebootContext reboot;
  uint32_t directiveNumber = 0;
  // Set by the dispatcher while it runs a directive table, so that one
  // handler can run another by name (script/dispatcher.h, RunDirective).
  std::function<bool(const std::wstring& name, std::vector<std::wstring> lines, const std::wstring& archive,
                     std::wstring& report)>
      runDirective;

  SecurityState security;
  AnalysisState analysis;
};

}  // namespace corvex
