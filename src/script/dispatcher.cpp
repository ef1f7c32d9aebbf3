#include "script/dispatcher.h"

#include "core/console_output.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "base/registry_text.h"
#include "base/text.h"

namespace corvex {

static std::wstring ReplaceArchive(std::wstring line, const std::wstring& archive) {
  static const std::wstring kToken = L"{ARCHIVE}";
  // One pass replaces every token, left to right, building the line afresh so
  // a long line costs time in proportion to its length. Within a pass the
  // text put in is not searched again, so an archive path that holds the
  // token cannot loop. Replacing with a shorter text (an empty archive
  // folder) can join the pieces around a token into a new one: passes then
  // repeat until none is left, each one shortening the line.
  for (;;) {
    size_t pos = IFind(line, kToken);
    if (pos == std::wstring::npos) return line;
    std::wstring out;
    out.reserve(line.size());
    size_t start = 0;
    for (; pos != std::wstring::npos; pos = IFind(line, kToken, start)) {
      out.append(line, start, pos - start);
      out += archive;
      start = pos + kToken.size();
    }
    out.append(line, start, std::wstring::npos);
    line = std::move(out);
    if (archive.size() >= kToken.size()) return line;
  }
}

std::wstring PrepareLine(Session& s, const std::wstring& raw, const std::wstring& archive) {
  std::wstring line = Trim(raw);
  if (line.empty()) return line;
  if (line.find(L'"') == std::wstring::npos && IContains(line, L"{ARCHIVE}")) {
    size_t space = line.find(L' ');
    if (space != std::wstring::npos) {
      line.insert(space, L"\"");
      line.insert(0, L"\"");
    }
  }
  line = ReplaceArchive(line, archive);
  for (auto& c : line)
    if (c == L'/') c = L'\\';
  line = s.os.env.Expand(line, 512);
  return MapSystem32Path(s, line);
}

namespace {
// Points the session's runDirective at `table` for as long as a Dispatch
// runs, and puts back what was there before.
class RunningTable {
 public:
  RunningTable(Session& s, const DirectiveTable& table) : s_(s), previous_(std::move(s.runDirective)) {
    s.runDirective = [&s, &table](const std::wstring& name, Lines lines, const std::wstring& archive,
                                  std::wstring& report) {
      const DirectiveEntry* entry = table.Find(name);
      if (!entry || !entry->handler) return false;
      return entry->handler(s, std::move(lines), archive, report);
    };
  }
  ~RunningTable() { s_.runDirective = std::move(previous_); }
  RunningTable(const RunningTable&) = delete;
  RunningTable& operator=(const RunningTable&) = delete;

 private:
  Session& s_;
  decltype(Session::runDirective) previous_;
};
}  // namespace

bool RunDirective(Session& s, const std::wstring& name, Lines lines, const std::wstring& archive,
                  std::wstring& report) {
  report.clear();
  if (!s.runDirective) return false;
  return s.runDirective(name, std::move(lines), archive, report);
}

void CutScript(Session& s, const std::wstring& script, const std::wstring& archive,
               const std::function<bool(ScriptSection&)>& take) {
  std::vector<std::wstring> rawLines = Split(script, L"\n");
  bool pending = false;
  ScriptSection section;
  // Registry-file text is data, not script: a value line (it starts with a
  // quote or "@") and the lines continuing one keep their text as written,
  // "::" and "/" and "%" included, and never start a directive. Lines
  // inside a string that runs over several lines are kept untrimmed too.
  bool registryText = false;
  bool continuation = false;
  bool inString = false;
  for (size_t number = 1; number <= rawLines.size(); ++number) {
    const std::wstring& raw = rawLines[number - 1];
    if (registryText && inString) {
      std::wstring kept = raw;
      if (!kept.empty() && kept.back() == L'\r') kept.pop_back();
      inString = RegistryStringOpenAfter(kept, true);
      section.lines.push_back(std::move(kept));
      section.lineNumbers.push_back(number);
      continue;
    }
    if (registryText) {
      std::wstring kept = Trim(raw);
      if (continuation || StartsWith(kept, L"\"") || StartsWith(kept, L"@")) {
        inString = RegistryStringOpenAfter(kept, false);
        if (inString) {
          // The string's own trailing blanks are data.
          kept = raw.substr(raw.find_first_not_of(L" \t"));
          if (!kept.empty() && kept.back() == L'\r') kept.pop_back();
        }
        continuation = !inString && !kept.empty() && (kept.back() == L'\\' || kept.back() == L',');
        if (!kept.empty()) {
          section.lines.push_back(std::move(kept));
          section.lineNumbers.push_back(number);
        }
        continue;
      }
    }
    std::wstring line = PrepareLine(s, raw, archive);
    if (line.empty()) continue;
    if (line.find(L"::") != std::wstring::npos) {
      if (pending) {
        if (!take(section)) return;
        section.lines.clear();
        section.lineNumbers.clear();
      }
      section.header = line;
      section.headerLine = number;
      pending = true;
      registryText = IEquals(line, L"RegistryScript::");
      continuation = inString = false;
    } else {
      section.lines.push_back(std::move(line));
      section.lineNumbers.push_back(number);
      if (section.header == L"::" && section.lines.size() == 1)
        registryText = IEquals(DefaultDirectiveFor(section.lines), L"RegistryScript::");
    }
  }
  if (pending) take(section);
}

RunResult Dispatch(Session& s, const DirectiveTable& table, const std::wstring& script, const std::wstring& archive) {
  RunningTable running(s, table);
  s.reboot.valid = true;
  s.reboot.scriptText = script;
  s.reboot.scriptPath = s.scriptPath;

  uint32_t total = 0;
  for (auto& l : Split(script, L"\n"))
    if (l.find(L"::") != std::wstring::npos) ++total;

  bool failed = false;
  CutScript(s, script, archive, [&](ScriptSection& section) {
    ++s.directiveNumber;
    if (!ProcessDirective(s, table, section.header, section.lines, archive, s.directiveNumber, total)) failed = true;
    // The directive asked for a restart: the rest waits for it.
    return !s.rebootRequired;
  });
  if (s.rebootRequired) return failed ? RunResult::kFailedRebootPending : RunResult::kSucceededRebootPending;
  return failed ? RunResult::kFailed : RunResult::kSucceeded;
}

const wchar_t* DefaultDirectiveFor(const Lines& lines) {
  if (lines.empty()) return L"AutoAnalysis::";
  const std::wstring& first = lines[0];
  if (IEquals(first, L"Windows Registry Editor Version 5.00") || IEquals(first, L"REGEDIT4") ||
      StartsWith(first, L"["))
    return L"RegistryScript::";
  return L"PowerCopy::";
}

void WriteDirectiveSection(Session& s, const std::wstring& name, const std::wstring& text, bool success) {
  std::wstring body = Trim(text);
  std::wstring section = name;
  if (!body.empty()) section += L"\r\n" + body + L"\r\n" + name;
  section += success ? L" directive completed successfully.\r\n" : L" directive failed to complete successfully.\r\n";
  AppendToSessionLog(s, section + L"\r\n\r\n\r\n\r\n");
}

static std::wstring UnrecognisedDirective(Session& s, const std::wstring& header, const Lines& lines) {
  TraceInfo(s, L"Directive not recognised: " + header);
  for (auto& l : lines) TraceInfo(s, l);
  std::wstring text = header + L" is not a recognised directive. " +
                      (lines.empty() ? L"No lines were entered under this directive."
                                     : L"The following lines were entered under this directive:");
  for (auto& l : lines) text += L"\r\n" + l;
  return text;
}

const DirectiveEntry* DirectiveTable::Find(const std::wstring& header) const {
  for (size_t i = 0; i < count; ++i)
    if (IEquals(header, entries[i].name)) return &entries[i];
  return nullptr;
}

bool ProcessDirective(Session& s, const DirectiveTable& table, const std::wstring& header, const Lines& lines,
                      const std::wstring& archive, uint32_t number, uint32_t total) {
  const DirectiveEntry* entry = nullptr;
  std::wstring sectionName = header;
  if (header == L"::") {
    entry = table.Find(DefaultDirectiveFor(lines));
    if (entry) sectionName = entry->name;
  } else {
    entry = table.Find(header);
  }
  const std::wstring progress = L"Processing directive " + Decimal(number) + L" of " + Decimal(total) + L" (";
  if (!entry) {
    Print(s, progress + L"Unrecognised directive: " + header + L")\n");
    AppendToSessionLog(s, UnrecognisedDirective(s, header, lines) + L"\r\n\r\n\r\n\r\n\r\n");
    return true;
  }
  Print(s, progress + entry->name + L")\n");
  std::wstring report;
  bool ok;
  if (entry->handler) {
    ok = entry->handler(s, lines, archive, report);
  } else {
    report = std::wstring(entry->name) + L" is not available in this version of Corvex.";
    ok = false;
  }
  WriteDirectiveSection(s, sectionName, report, ok);
  return ok;
}

}  // namespace corvex
