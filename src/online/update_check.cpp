#include "online/update_check.h"

#include <chrono>
#include <memory>
#include <thread>

#include "base/text.h"
#include "core/console_output.h"
#include "core/process_runner.h"
#include "core/session_log.h"
#include "core/working_folders.h"
#include "online/collection_id.h"
#include "online/held_file.h"
#include "online/http_transfer.h"
#include "online/servers.h"
#include "script/file_hash.h"

namespace corvex::online {

namespace {

constexpr wchar_t kVersionPage[] = L"/Tallwen/apps/Corvex_GetLatestVersion.php";
constexpr wchar_t kProgramPage[] = L"/Tallwen/apps/Corvex.exe";
constexpr wchar_t kHashPage[] = L"/Tallwen/apps/Corvex_GetFileHash.php";
constexpr wchar_t kChecking[] = L"Checking for updates . . . ";
constexpr uint32_t kSharingViolation = 32;

// Where a user fetches the program by hand.
std::wstring ManualDownloadUrl(Session& s) { return ServerUrl(s, Server::kSupport, kProgramPage); }

// A message the user must see even while output is held, then a key.
void Tell(Session& s, const std::wstring& text) {
  if (s.hold) FlushTranscript(s, false);
  Print(s, text);
  WaitKey(s);
}

// The trimmed text of a small downloaded answer, or "" when the download or
// the read failed.
std::wstring FetchAnswer(Session& s, const std::wstring& url, const std::wstring& file) {
  if (!DownloadQuietly(s, url, file)) return L"";
  platform::Result<std::string> bytes = s.os.fs.ReadFile(file);
  if (!bytes) {
    TraceErrorCode(s, bytes.code(), L"Failed to read " + file + L" with error code ");
    return L"";
  }
  std::wstring text;
  for (unsigned char c : *bytes) text += static_cast<wchar_t>(c);
  return Trim(text);
}

UpdateOutcome FailUpdate(Session& s, const std::wstring& what) {
  Tell(s, L"\n\n" + what + L" Please update manually from\n" + ManualDownloadUrl(s) +
              L"\n\nPress any key to exit . . . ");
  return UpdateOutcome::kExit;
}

UpdateOutcome InstallNewVersion(Session& s, const std::wstring& startArguments) {
  Print(s, L"\nNew update available. Downloading . . . ");
  const std::wstring temp = TempFolder(s);
  const std::wstring downloaded = temp + L"\\Corvex.exe";
  if (!DownloadQuietly(s, UpdateServerUrl(s, kProgramPage), downloaded))
    return FailUpdate(s, L"Failed to download update.");

  // Held from before the hash is taken until the new program has started, so
  // the file that runs elevated is the file that was verified.
  std::unique_ptr<platform::File> held = HoldAgainstWrites(s, downloaded);
  const std::wstring published = FetchAnswer(s, UpdateServerUrl(s, kHashPage), temp + L"\\fileHash.txt");
  const std::wstring actual = held ? HashFile(s, downloaded) : L"";
  if (!held || !IsSha256Hex(published) || actual != published) {
    TraceError(s, L"Update hash \"" + actual + L"\" does not match the published \"" + published + L"\"");
    return FailUpdate(s, L"Failed to validate downloaded update.");
  }

  std::wstring program = downloaded;
  std::unique_ptr<platform::File> heldStamped;
  const std::wstring id = ReadCollectionId(s.os.fs, s.programPath);
  if (HasCollectionId(id)) {
    const std::wstring stamped = temp + L"\\CorvexUpdate.exe";
    platform::Status copied = CopyWithCollectionId(s.os.fs, downloaded, stamped, id);
    if (copied) heldStamped = HoldAgainstWrites(s, stamped);
    if (heldStamped && SameBodies(*held, *heldStamped)) {
      program = stamped;
    } else {
      // The update still goes on; the next collection asks for an ID again.
      TraceErrorCode(s, copied.ok() ? kSharingViolation : copied.code(),
                     L"Failed to carry the collection ID into the update with error code ");
      heldStamped.reset();
    }
  }

  RunOptions options;
  options.wait = false;
  options.visible = true;  // the next program takes over this console
  RunOutcome started = RunProcess(s, program, L" " + s.programPath + L"?" + startArguments, options);
  if (!started.started) return FailUpdate(s, L"Failed to start downloaded update.");
  return UpdateOutcome::kExit;
}

UpdateOutcome RunCheck(Session& s, const std::wstring& startArguments) {
  Print(s, kChecking);
  if (platform::Status made = EnsureWorkingFolders(s); !made)
    TraceErrorCode(s, made.code(), L"Failed to create the working folders with error code ");
  const std::wstring answer = FetchAnswer(s, UpdateServerUrl(s, kVersionPage), TempFolder(s) + L"\\version.txt");

  if (answer == L"Blocked") {
    Tell(s, std::wstring(27, L'\b') +
                L"A dangerous bug has been detected in Corvex and all copies of Corvex have\n"
                L"temporarily been deactivated. For the safety of your computer, please do not\n"
                L"attempt to circumvent this block. For more information, please contact your\n"
                L"helper or " + std::wstring(kSupportDomain) + L".\n\nPress any key to exit . . . ");
    return UpdateOutcome::kExit;
  }
  // An error page or any other text that is no version is no answer.
  if (ParseVersion(answer).empty()) {
    if (!answer.empty()) TraceError(s, L"The update server's answer is no version: " + answer.substr(0, 80));
    Tell(s, L"\n\nFailed to check for updates. This may be due to an internet connection problem\n"
            L"or a temporary availability failure of the update servers. Please ensure you are"
            L"using the very latest version of the program before continuing by downloading it"
            L"today from: " + ManualDownloadUrl(s) +
                L"\n\nIf you are already using the latest version, press any key to continue . . . ");
    Print(s, L"\n\n");
    return UpdateOutcome::kContinue;
  }
  const std::wstring current = s.versionKnown ? s.programVersion : L"";
  if (CompareVersions(current, answer) >= 0) {
    Print(s, L"\nNo new update is available at this time.\n\n");
    return UpdateOutcome::kContinue;
  }
  return InstallNewVersion(s, startArguments);
}

// The hand-over only ever runs from the Temp working folder (the downloaded
// update or the ID copy) and only replaces another program file.
bool HandOverTargetAllowed(Session& s, const std::wstring& target) {
  const std::wstring temp = TempFolder(s) + L"\\";
  bool absolute = (target.size() > 3 && target[1] == L':' && target[2] == L'\\') || StartsWith(target, L"\\\\");
  std::wstring why;
  if (!absolute || !EndsWith(ToLower(target), L".exe"))
    why = L"not a program path";
  else if (!IStartsWith(s.programPath, temp))
    why = L"this program does not run from " + temp;
  else if (IEquals(target, s.programPath))
    why = L"it is this program";
  else if (platform::Result<uint32_t> attributes = s.os.fs.GetAttributes(target);
           !attributes || (*attributes & 0x10))
    why = L"no such file";
  if (why.empty()) return true;
  TraceError(s, L"Refused to hand over to " + target + L": " + why);
  return false;
}

// A sentence for the session an ID restart carries on: this process has no
// console, and the start that finishes the session writes what was saved.
void NoteInSavedLog(Session& s, const std::wstring& sentence) {
  TraceError(s, sentence);
  if (!WorkingFileExists(s, L"Reboot_Neat_Log")) return;
  platform::Status noted =
      WriteWorkingFile(s, L"Reboot_Neat_Log", sentence + L"\r\n", TextEncoding::kUtf16, WriteMode::kAppend);
  if (!noted) TraceErrorCode(s, noted.code(), L"Failed to add to the saved session log with error code ");
}

UpdateOutcome FinishHandOver(Session& s, const HandOver& h) {
  if (h.finishAfterIdRestart) return UpdateOutcome::kFinishAfterIdRestart;
  const bool idRestart = h.arguments == L"?ID2";
  if (!HandOverTargetAllowed(s, h.target)) {
    if (idRestart) {
      NoteInSavedLog(s, L"Refused to replace " + h.target + L" with the program carrying the new collection ID.");
      return UpdateOutcome::kExit;
    }
    Tell(s, L"\nRefused to replace " + h.target + L".\nPress any key to exit . . . ");
    return UpdateOutcome::kExit;
  }
  platform::Status copied;
  // Up to 10 s: a slow machine ends the old program well after it started
  // this one, and giving up too soon leaves the update undone.
  for (int attempt = 0; attempt <= 200; ++attempt) {
    copied = s.os.fs.CopyFile(s.programPath, h.target, false);
    if (copied || copied.code() != kSharingViolation) break;
    // The old program has not ended yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!copied) {
    TraceErrorCode(s, copied.code(), L"Failed to copy " + s.programPath + L" over " + h.target +
                                         L" with error code ");
    // The old file would only find this update again and loop; an ID restart
    // ("?ID2") skips the check, so it may still finish its session.
    if (!idRestart) return FailUpdate(s, L"Failed to replace " + h.target + L" with the update.");
    NoteInSavedLog(s, L"Failed to replace " + h.target + L" with the program carrying the new collection ID with "
                      L"error code " + ErrorCodeName(copied.code()) + L"; the next collection asks for an ID again.");
  }
  // The file that runs elevated next sits where others may write: it is held
  // from its check to its start. It is this program (after a failed copy of
  // an ID restart, the old file: this program with another ID).
  std::unique_ptr<platform::File> self = OpenOwnProgram(s);
  std::unique_ptr<platform::File> held = HoldAgainstWrites(s, h.target);
  if (!self || !held || !SameBodies(*self, *held)) {
    const std::wstring refused = h.target + L" was not started: it could not be held and found to be this program.";
    if (idRestart) {
      NoteInSavedLog(s, refused + L" Start Corvex again to finish the session.");
      return UpdateOutcome::kExit;
    }
    return FailUpdate(s, refused);
  }
  RunOptions options;
  options.wait = false;
  options.visible = true;  // the next program takes over this console
  const std::wstring arguments = h.hasArguments ? L" " + h.arguments : L"";
  RunOutcome restarted = RunProcess(s, h.target, arguments, options);
  if (!restarted.started && idRestart)
    NoteInSavedLog(s, L"Failed to start " + h.target + L" with error code " + ErrorCodeName(restarted.startError) +
                          L". Start Corvex again to finish the session.");
  else if (!restarted.started)
    TraceError(s, L"Failed to restart " + h.target);
  return UpdateOutcome::kExit;
}

}  // namespace

std::vector<uint32_t> ParseVersion(const std::wstring& text) {
  std::vector<uint32_t> fields;
  std::vector<std::wstring> pieces = Split(text, L".");
  if (pieces.empty() || pieces.size() > 4) return {};
  for (const std::wstring& piece : pieces) {
    if (piece.empty() || piece.size() > 9) return {};
    uint32_t value = 0;
    for (wchar_t c : piece) {
      if (c < L'0' || c > L'9') return {};
      value = value * 10 + static_cast<uint32_t>(c - L'0');
    }
    fields.push_back(value);
  }
  return fields;
}

int CompareVersions(const std::wstring& a, const std::wstring& b) {
  std::vector<uint32_t> x = ParseVersion(a);
  std::vector<uint32_t> y = ParseVersion(b);
  x.resize(4, 0);
  y.resize(4, 0);
  for (size_t i = 0; i < 4; ++i)
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  return 0;
}

bool IsSha256Hex(const std::wstring& text) {
  if (text.size() != 64) return false;
  for (wchar_t c : text)
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
  return true;
}

std::wstring StartArguments(const std::vector<std::wstring>& argv) {
  std::wstring joined;
  for (size_t i = 1; i < argv.size(); ++i) joined += argv[i] + L" ";
  return Trim(joined);
}

HandOver ParseHandOver(const std::wstring& startArguments) {
  std::vector<std::wstring> pieces;
  for (const std::wstring& piece : Split(startArguments, L"?"))
    if (!piece.empty()) pieces.push_back(piece);
  HandOver h;
  if (pieces.empty()) return h;
  if (pieces[0] == L"ID2") {
    h.finishAfterIdRestart = true;
    return h;
  }
  h.target = pieces[0];
  if (pieces.size() >= 2) {
    h.hasArguments = true;
    h.arguments = pieces[1] == L"ID" ? L"?ID2" : pieces[1];
  }
  return h;
}

UpdateOutcome CheckForUpdates(Session& s, const std::vector<std::wstring>& argv) {
  const std::wstring startArguments = StartArguments(argv);
  if (startArguments.find(L'?') == std::wstring::npos) return RunCheck(s, startArguments);
  HandOver h = ParseHandOver(startArguments);
  if (!h.finishAfterIdRestart && h.target.empty()) return RunCheck(s, startArguments);
  return FinishHandOver(s, h);
}

}  // namespace corvex::online
