// `log`: a session log the user posted back (Corvex.txt, UTF-16LE) read
// into the directives that ran, which failed and why, the datablock count
// and whether a restart is pending.
#pragma once

#include <string>
#include <vector>

#include "helper/findings.h"

namespace corvex::helper {

enum class Outcome { kSucceeded, kFailed, kUnrecognised };

struct LoggedDirective {
  std::wstring name;
  uint64_t line = 0;  // of its section's first line
  Outcome outcome = Outcome::kSucceeded;
  std::vector<std::wstring> reasons;  // the sentences of a failed section that say what failed
};

struct SessionLog {
  std::wstring file;
  std::wstring version;  // "Corvex version ... by Tallwen."
  std::wstring windows;  // "Microsoft Windows ... - amd64"
  std::vector<LoggedDirective> directives;
  std::wstring result;   // the dispatcher's last closing sentence
  bool rebootPending = false;
  bool datablocksKnown = false;
  uint64_t datablocks = 0;
  bool finished = false;  // the footer's EOF line is there
  std::vector<Finding> findings;
};

SessionLog ReadSessionLog(const std::wstring& file, const std::string& bytes);
// 0 when the run succeeded and the log reads whole; 1 otherwise.
int SessionLogStatus(const SessionLog& log);

std::wstring SessionLogText(const SessionLog& log);
std::string SessionLogJson(const SessionLog& log);

}  // namespace corvex::helper
