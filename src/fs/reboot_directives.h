// Replacement of files in use over a restart, and the continuation after it:
// files are staged in the working folder and Windows is asked to move them
// into place at the next start; the rest of the script and the logs are
// saved with a RunOnce value that starts the program again; after the
// restart the replaced files are checked against the hashes taken before.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "script/directive.h"

namespace corvex {

// Staging files "ReplaceOverReboot0" to "ReplaceOverReboot999" in the working
// folder. Numbers are handed out in order across the lines of one run; a
// name already on disk is skipped.
constexpr int kStagingSlots = 1000;
struct StagingSlots {
  int next = 0;
};

// What became of one pending line.
struct PendOutcome {
  // Windows has the rename queued: the destination changes at the next start.
  bool pended = false;
  // Pended, and nothing went wrong on the way (redirection switched back on).
  bool ok = false;
};

// One line of ReplaceOverReboot:: ("source" destination): stages the source
// and pends its move over the destination. Appends the line's sentences to
// `report`. A staging copy whose move could not be pended is deleted again.
PendOutcome PendReplacement(Session& s, const std::wstring& line, StagingSlots& slots, std::wstring& report);

bool ReplaceOverRebootDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

// Saves the rest of the script (after Reboot_Pre_Script, which is then
// deleted), the logs and the RunOnce value, and asks for the restart. The
// saved log ends with this directive's own section; a caller that runs it
// from inside another directive writes its section so far first.
bool RebootDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

// What of `script` is still to run when directive number `current` (counted
// from 1 over the lines holding "::") stops the run: the lines after its
// header, blank lines and the directive's own lines dropped, joined by CR LF.
std::wstring RemainingScript(const std::wstring& script, uint32_t current);

// A PostRebootCorruptionDetection:: line: path "|" Base64 SHA-256 (empty
// when none could be taken before the restart). Quotes are removed; nullopt
// unless the line has exactly one "|".
struct HashRecord {
  std::wstring path;
  std::wstring hash;
};
std::optional<HashRecord> ParseHashRecord(const std::wstring& line);
// Whether a stored hash names the digest `computed`. Scripts have every "/"
// turned into "\", which Base64 never holds, so it is turned back; letter
// case is not compared.
bool HashMatches(const std::wstring& stored, const std::wstring& computed);

bool PostRebootCorruptionDetectionDirective(Session& s, Lines lines, const std::wstring& archive,
                                            std::wstring& report);

// The restart routine the entry runs once the reboot-required flag is set:
// the message box, the shutdown privilege and the restart. False when the
// restart could not be started; the reason is in the session log (and in the
// saved one, which is what the user reads after restarting by hand).
bool RestartWindows(Session& s);

// The file names a PendingFileRenameOperations value still refers to, as
// the program writes paths: "\??\" and the "!" of a replacing move taken off.
std::vector<std::wstring> PendingRenamePaths(const std::vector<std::wstring>& value);
// Removes staging files of earlier sessions that no pending rename names any
// more (Windows could not move them, or the restart never came). Run at the
// end of a session; failures go to the debug trace.
void RemoveStaleStagingFiles(Session& s);

}  // namespace corvex
