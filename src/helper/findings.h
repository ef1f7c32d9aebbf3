// What the helper's commands report: findings that name the file, line and
// column they are about, and the JSON text of their reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvex::helper {

struct Finding {
  std::wstring file;
  uint64_t line = 0;    // from 1
  size_t column = 0;    // from 1
  bool error = true;    // false: a note, the run would not fail on it
  std::wstring message;
};

// "file:line:column: error: message" (or "note:").
std::wstring FindingLine(const Finding& f);
bool AnyError(const std::vector<Finding>& findings);

// A JSON string, quoted, with what JSON needs escaped.
std::string JsonString(const std::wstring& text);
// A JSON array of finding objects.
std::string JsonFindings(const std::vector<Finding>& findings);

}  // namespace corvex::helper
