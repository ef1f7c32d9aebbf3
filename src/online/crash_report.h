// After a crash: the minidump, the report folder, the crash screen with its
// question, the report upload and the final logfiles.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "core/session.h"
#include "platform/result.h"

namespace corvex {

inline constexpr wchar_t kCrashDumpFolder[] = L"C:\\Corvex\\CrashDumps";
// Numbered dumps kept in the crash-dump folder, the newest: each holds the
// whole process, hundreds of megabytes.
inline constexpr size_t kKeptCrashDumps = 3;

// What the crash report borrows from the program's end, above this layer:
// the session footer (it carries the datablock count), the pager and the
// final logfiles.
struct CrashEnding {
  std::function<void(Session&)> appendFooter;
  // Clears the console, shows the text paged and returns the key typed
  // at its end.
  std::function<wchar_t(Session&, const std::wstring& header, const std::wstring& body)> showPaged;
  std::function<bool(Session&)> finalLogfiles;
};

// A crash on any thread then writes the dump into `dumpFolder`, runs
// CrashCallback and ends the process with exit code 1.
platform::Status InstallCrashHandlers(Session& s, CrashEnding ending, const std::wstring& dumpFolder = kCrashDumpFolder);

// Writes the dump as "CorvexCrashDump" + N + ".dmp" in `dumpFolder`, N the
// smallest free of 0 to 999, else as "CorvexCrashDump.dmp" in the current
// folder; keeps the newest few numbered dumps; fills the report folder
// with a copy of the dump and of a .txt or .zip script. Returns the report
// folder, or empty when no dump can be written at all.
std::wstring WriteCrashDump(Session& s, const std::wstring& dumpFolder);

// The crash footer, the crash screen and its question, the upload when the
// answer is yes, the final logfiles.
void CrashCallback(Session& s, const std::wstring& reportFolder, const CrashEnding& ending);

// Zips the report folder's files and uploads the zip (or the dump alone
// when zipping failed) as a private crash submission.
bool SendCrashReport(Session& s, const std::wstring& reportFolder);

}  // namespace corvex
