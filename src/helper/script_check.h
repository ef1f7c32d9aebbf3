// `check`: a script read as the program reads it and cut as the dispatcher
// cuts it, each directive's lines put through the program's own rules.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "helper/findings.h"

namespace corvex::helper {

struct CheckedSection {
  std::wstring header;     // as the script has it, prepared
  std::wstring directive;  // the table's name of what runs; empty when unrecognised
  uint64_t line = 0;
  size_t lineCount = 0;
};

struct ScriptCheck {
  std::wstring file;  // the script text the line numbers count in
  std::vector<CheckedSection> sections;
  // The program's "Line blocked (...)" sentences, in script order.
  std::vector<std::wstring> blocked;
  std::vector<Finding> findings;
};

// `script` is a .txt or .zip on the real disk.
ScriptCheck CheckScript(const std::filesystem::path& script);

std::wstring CheckText(const ScriptCheck& c);
std::string CheckJson(const ScriptCheck& c);

}  // namespace corvex::helper
