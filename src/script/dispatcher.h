// The program's one loop over work: prepares every script line, cuts the
// script at its headers and runs each directive through the table.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/session.h"
#include "script/directive.h"

namespace corvex {

RunResult Dispatch(Session& s, const DirectiveTable& table, const std::wstring& script, const std::wstring& archive);

// One directive as the dispatcher cuts it: the header and its prepared
// lines, with the script line (from 1) each came from. Lines before the
// first header go to the first directive.
struct ScriptSection {
  std::wstring header;
  Lines lines;
  size_t headerLine = 0;
  std::vector<size_t> lineNumbers;
};

// Prepares the script's lines and cuts them at their headers, handing each
// section to `take` in order until it returns false. Dispatch runs on it,
// so whatever reads a script this way sees what the program will run.
void CutScript(Session& s, const std::wstring& script, const std::wstring& archive,
               const std::function<bool(ScriptSection&)>& take);

// Trimmed, "{ARCHIVE}" resolved, slashes turned, variables expanded and
// System32 mapped; what a handler sees.
std::wstring PrepareLine(Session& s, const std::wstring& raw, const std::wstring& archive);

bool ProcessDirective(Session& s, const DirectiveTable& table, const std::wstring& header, const Lines& lines,
                      const std::wstring& archive, uint32_t number, uint32_t total);
// The directive a bare "::" header stands for: "AutoAnalysis::" when it has
// no lines, "RegistryScript::" for registry-file text, else "PowerCopy::".
const wchar_t* DefaultDirectiveFor(const Lines& lines);
void WriteDirectiveSection(Session& s, const std::wstring& name, const std::wstring& text, bool success);

// Runs the directive `name` (compared as headers are) of the table the
// dispatcher is running, as a handler calls another. False, with an empty
// report, when no table is running or it has no such directive or that
// directive is not built.
bool RunDirective(Session& s, const std::wstring& name, Lines lines, const std::wstring& archive,
                  std::wstring& report);

}  // namespace corvex
