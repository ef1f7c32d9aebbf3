#include "helper/script_check.h"

#include "app/directive_table.h"
#include "base/path.h"
#include "base/text.h"
#include "core/working_folders.h"
#include "fs/datablock_directives.h"
#include "fs/powercopy_check.h"
#include "helper/helper_world.h"
#include "script/dispatcher.h"
#include "script/script_loader.h"

namespace corvex::helper {

namespace {

class Checker {
 public:
  Checker(Session& s, ScriptCheck& out, const std::wstring& text, const std::wstring& archive)
      : s_(s), out_(out), raw_(Split(text, L"\n")), archive_(archive) {}

  void Section(const ScriptSection& sec) {
    const DirectiveTable& table = ProgramDirectives();
    const DirectiveEntry* entry =
        sec.header == L"::" ? table.Find(DefaultDirectiveFor(sec.lines)) : table.Find(sec.header);
    out_.sections.push_back({sec.header, entry ? entry->name : L"", sec.headerLine, sec.lines.size()});
    const std::wstring name = entry ? entry->name : L"";
    if (!entry && inRegistryText_) {
      Error(sec.headerLine, Column(sec.headerLine),
            L"registry-file text is cut here: the line holds \"::\", so the dispatcher starts a directive with it, "
            L"and the registry text after it goes to that directive: " + sec.header);
    } else if (!entry) {
      Error(sec.headerLine, Column(sec.headerLine),
            sec.header + L" is not a recognised directive; the program skips it and its " +
                Decimal(sec.lines.size()) + L" line(s).");
    } else if (!entry->handler) {
      Error(sec.headerLine, Column(sec.headerLine), name + L" is not available in this version of Corvex.");
    } else if (name == L"PowerCopy::") {
      PowerCopyLines(sec);
    } else if (name == L"DataBlock::") {
      DataBlockLines(sec);
    }
    inRegistryText_ = name == L"RegistryScript::";
    if (!inRegistryText_) ArchiveLines(sec);
  }

  void Error(uint64_t line, size_t column, const std::wstring& message, bool error = true) {
    out_.findings.push_back({out_.file, line, column, error, message});
  }

 private:
  const std::wstring& Raw(uint64_t line) const {
    static const std::wstring kNone;
    return line >= 1 && line <= raw_.size() ? raw_[line - 1] : kNone;
  }
  size_t Column(uint64_t line) const {
    size_t at = Raw(line).find_first_not_of(L" \t");
    return at == std::wstring::npos ? 1 : at + 1;
  }

  // Each line through the program's blocking rules on its own, so that
  // each sentence is known to be that line's (the rules judge lines one
  // by one; a folder line adds only its own files).
  void PowerCopyLines(const ScriptSection& sec) {
    Lines lines = sec.lines;
    const size_t before = lines.size();
    TakeCopyMode(lines);
    const size_t skipped = before - lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
      const uint64_t number = sec.lineNumbers[i + skipped];
      std::wstring report;
      CheckCopyLines(s_, {lines[i]}, archive_, report);
      for (const std::wstring& sentence : Split(report, L"\r\n")) {
        if (Trim(sentence).empty()) continue;
        if (StartsWith(sentence, L"Line blocked")) {
          out_.blocked.push_back(sentence);
          Error(number, BlockedColumn(number, sentence), sentence);
        } else {
          // A folder with nothing in it fails the directive; only the
          // archive's folders can be looked into here.
          Error(number, Column(number), sentence, IContains(Raw(number), L"{ARCHIVE}"));
        }
      }
    }
  }

  // Where the character that blocked the line stands, when the line as
  // written has it.
  size_t BlockedColumn(uint64_t number, const std::wstring& sentence) const {
    if (IStartsWith(sentence, L"Line blocked (invalid characters)")) {
      size_t at = Raw(number).find_first_of(L"*?<>|");
      if (at != std::wstring::npos) return at + 1;
    }
    return Column(number);
  }

  void DataBlockLines(const ScriptSection& sec) {
    for (size_t i = 0; i < sec.lines.size(); ++i) {
      std::wstring report;
      if (!DataBlockDirective(s_, {sec.lines[i]}, archive_, report))
        Error(sec.lineNumbers[i], Column(sec.lineNumbers[i]), Trim(report));
    }
  }

  // "{ARCHIVE}" stands for the folder the zip is extracted to: every path
  // of a line that uses it must be one of the zip's entries.
  void ArchiveLines(const ScriptSection& sec) {
    for (size_t i = 0; i < sec.lines.size(); ++i) {
      const uint64_t number = sec.lineNumbers[i];
      const size_t token = IFind(Raw(number), L"{ARCHIVE}");
      if (token == std::wstring::npos) continue;
      if (archive_.empty()) {
        Error(number, token + 1,
              L"{ARCHIVE} in a script that is not run from a zip stands for nothing; the line reads " + sec.lines[i]);
        continue;
      }
      std::wstring line = sec.lines[i];
      if (IEndsWith(line, L" [DIR]")) line.resize(line.size() - 6);
      auto items = SplitLineItems(line);
      if (items.empty()) items.push_back(line);
      for (const std::wstring& item : items) {
        const std::wstring path = StripLongPathPrefix(item);
        if (!IStartsWith(path, archive_ + L"\\")) continue;
        if (!s_.os.fs.GetAttributes(AddLongPathPrefix(path)).ok())
          Error(number, token + 1, L"the zip holds no " + path.substr(archive_.size() + 1));
      }
    }
  }

  static bool IEndsWith(const std::wstring& s, const std::wstring& end) {
    return s.size() >= end.size() && IEquals(s.substr(s.size() - end.size()), end);
  }

  Session& s_;
  ScriptCheck& out_;
  std::vector<std::wstring> raw_;
  std::wstring archive_;
  bool inRegistryText_ = false;
};

// The loader's own sentence about what went wrong: the last line it logged.
std::wstring LoaderSentence(const std::wstring& log) {
  std::wstring last;
  for (const std::wstring& line : Split(log, L"\r\n"))
    if (!Trim(line).empty()) last = Trim(line);
  return last;
}

}  // namespace

ScriptCheck CheckScript(const std::filesystem::path& script) {
  HelperWorld world;
  Session& s = world.s;
  ScriptCheck out;
  out.file = ShownName(script);
  const std::wstring leaf = ShownName(script.filename());
  const std::wstring mounted = std::wstring(kDownloads) + L"\\" + leaf;
  world.view.Mount(mounted, script);
  const std::wstring extension = ToLower(leaf.substr(leaf.rfind(L'.') == std::wstring::npos ? leaf.size()
                                                                                           : leaf.rfind(L'.')));
  if (extension != L".txt" && extension != L".zip") {
    out.findings.push_back({out.file, 0, 0, true, L"a script is a .txt or a .zip file"});
    return out;
  }
  std::wstring text, archive;
  if (!LoadScript(s, {L"Corvex.exe", mounted}, text, archive)) {
    out.findings.push_back({out.file, 0, 0, true, LoaderSentence(s.log)});
    return out;
  }
  const bool fromZip = extension == L".zip";
  if (fromZip && !s.scriptPath.empty()) out.file += L"/" + s.scriptPath.substr(s.scriptPath.rfind(L'\\') + 1);
  Checker checker(s, out, text, archive);
  if (fromZip && s.scriptPath.empty())
    checker.Error(0, 0, L"the zip holds no Corvex.txt: the program places its files (File Placement Mode)", false);
  if (StartsWith(text, L"Corvex version")) {
    checker.Error(1, 1, L"a session log given as a script: Detected logfile supplied as script. Script blocked.");
    return out;
  }
  CutScript(s, text, archive, [&](ScriptSection& sec) {
    checker.Section(sec);
    return true;
  });
  return out;
}

std::wstring CheckText(const ScriptCheck& c) {
  std::wstring out = c.file + L": " + Decimal(c.sections.size()) + L" directive(s)\n";
  for (const CheckedSection& sec : c.sections) {
    out += L"  line " + Decimal(sec.line) + L": " + sec.header;
    if (sec.directive.empty())
      out += L" (not recognised)";
    else if (sec.directive != sec.header)
      out += L" (runs as " + sec.directive + L")";
    out += L", " + Decimal(sec.lineCount) + L" line(s)\n";
  }
  size_t errors = 0;
  for (const Finding& f : c.findings) {
    out += FindingLine(f) + L"\n";
    if (f.error) ++errors;
  }
  out += errors ? Decimal(errors) + L" error(s): the run would fail.\n" : L"Nothing would fail.\n";
  return out;
}

std::string CheckJson(const ScriptCheck& c) {
  std::string out = "{\"file\":" + JsonString(c.file) + ",\"sections\":[";
  for (size_t i = 0; i < c.sections.size(); ++i) {
    const CheckedSection& sec = c.sections[i];
    out += (i ? "," : "") + std::string("{\"line\":") + std::to_string(sec.line) +
           ",\"header\":" + JsonString(sec.header) + ",\"directive\":" +
           (sec.directive.empty() ? std::string("null") : JsonString(sec.directive)) +
           ",\"lines\":" + std::to_string(sec.lineCount) + "}";
  }
  out += "],\"blocked\":[";
  for (size_t i = 0; i < c.blocked.size(); ++i) out += (i ? "," : "") + JsonString(c.blocked[i]);
  out += "],\"findings\":" + JsonFindings(c.findings) + ",\"ok\":" + (AnyError(c.findings) ? "false" : "true") + "}";
  return out;
}

}  // namespace corvex::helper
