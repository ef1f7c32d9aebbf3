// The update check at start and the hand-over to a new program file: the old
// program downloads and verifies the new one and starts it; the new one
// copies itself over the old file and starts that; the copy runs normally.
// The ID restart uses the same hand-over with "?ID" / "?ID2".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/session.h"

namespace corvex::online {

enum class UpdateOutcome { kContinue = 0, kExit = 1, kFinishAfterIdRestart = 2 };

UpdateOutcome CheckForUpdates(Session& s, const std::vector<std::wstring>& argv);

// "2.4.10.0" as its fields; empty when the text is not 1 to 4 fields of 1 to
// 9 digits. Fields compare numerically, so 2.4.10.0 is older than 2.5.0.0.
std::vector<uint32_t> ParseVersion(const std::wstring& text);
// <0, 0, >0; missing fields count as 0, an unparsable version as 0.0.0.0.
int CompareVersions(const std::wstring& a, const std::wstring& b);

// A published hash: exactly 64 lower-case hexadecimal digits.
bool IsSha256Hex(const std::wstring& text);

// The start arguments: everything after the program name, each followed by
// a space, trimmed.
std::wstring StartArguments(const std::vector<std::wstring>& argv);

// The hand-over half of a start whose arguments hold a "?".
struct HandOver {
  bool finishAfterIdRestart = false;  // "?ID2"
  std::wstring target;                // the file to replace and start
  bool hasArguments = false;
  std::wstring arguments;             // for the restarted target ("?ID2" after "?ID")
};
HandOver ParseHandOver(const std::wstring& startArguments);

}  // namespace corvex::online
