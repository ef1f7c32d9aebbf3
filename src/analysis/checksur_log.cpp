#include <string_view>

#include "analysis/log_analysis.h"
#include "base/path.h"
#include "base/text.h"
#include "core/line_reader.h"
#include "core/session_log.h"
#include "core/system_facts.h"

namespace corvex {

namespace {

const wchar_t kIe10Text[] =
    L"The System Update Readiness Tool reported missing files of the Internet Explorer 10 hyphenation and "
    L"spelling parent packages (version 10.2.9200.16437). These packages are left behind on purpose when "
    L"Internet Explorer 10 is installed and their absence does no harm. They need no repair, and the tool may go "
    L"on reporting them..";

bool IsIe10ParentPackageLine(const std::wstring& line) {
  return (line.find(L"Microsoft-Windows-IE-Hyphenation-Parent-Package-") != std::wstring::npos ||
          line.find(L"Microsoft-Windows-IE-Spelling-Parent-Package-") != std::wstring::npos) &&
         line.find(L"~~~10.2.9200.16437") != std::wstring::npos;
}

// "(f)\tCSI Payload File Missing\t0x00000000\twinsxs\\...": the category,
// then the code and the item.
SurtRecord FindingRecord(const std::wstring& line) {
  SurtRecord r;
  size_t tab = line.find(L'\t');
  std::vector<std::wstring> fields;
  for (auto& f : Split(tab == std::wstring::npos ? L"" : line.substr(tab + 1), L"\t"))
    if (!Trim(f).empty()) fields.push_back(Trim(f));
  if (!fields.empty()) {
    r.category = fields[0];
    r.lines.assign(fields.begin() + 1, fields.end());
  }
  return r;
}

}  // namespace

bool ReadCheckSurLog(Session& s, bool persisted, std::vector<SurtRecord>& records,
                     std::vector<std::wstring>& fileLines) {
  AnalysisState& a = s.analysis;
  const std::wstring path =
      SystemRoot(s) + (persisted ? L"\\Logs\\CBS\\CheckSUR.persist.log" : L"\\Logs\\CBS\\CheckSUR.log");
  // A CheckSUR log is a page or two; its lines are gone through backwards.
  std::vector<std::wstring> lines;
  auto reader = LineReader::Open(s.os.fs, AddLongPathPrefix(path));
  if (reader.ok()) {
    std::string_view line;
    while (reader->Next(line)) {
      if (lines.empty() && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
      lines.push_back(DecodeLogLine(line));
    }
  }
  const uint32_t code = reader.ok() ? reader->code() : reader.code();
  if (code != 0 && code != platform::err::kFileNotFound && code != platform::err::kPathNotFound) {
    a.notExamined.push_back(L"The log " + path + L" could not be read (error code " + ErrorCodeName(code) + L").");
    TraceErrorCode(s, code, L"Failed to read " + path + L": ");
  }
  // Too short to hold a whole run: the tool did not finish.
  if (lines.size() < 5) a.dismWanted = true;

  bool summary = false;
  uint32_t detected = 0, ie10Lines = 0;
  const size_t recordsBefore = records.size(), fileLinesBefore = fileLines.size();
  for (size_t i = lines.size(); i-- > 0;) {
    const std::wstring& line = lines[i];
    if (line.empty()) continue;
    if (!summary) {
      if (line == L" No errors detected") {
        // The last finished run found nothing: what was gathered below its
        // verdict belongs to a run that never finished, and is not counted.
        records.resize(recordsBefore);
        fileLines.resize(fileLinesBefore);
        return false;
      }
      if (line == L"Summary:") {
        summary = true;
        continue;
      }
    } else if (line == L"Checking System Update Readiness.") {
      break;  // the start of the last run; what is above belongs to older ones
    }
    if (line[0] == L'\t') {
      if (IsIe10ParentPackageLine(line)) {
        ++ie10Lines;
        if (!a.ie10Explained) {
          a.explanations.push_back(kIe10Text);
          a.ie10Explained = true;
        }
        continue;
      }
      fileLines.push_back(line.substr(1));
      continue;
    }
    // "(f)" and "(w" are findings; "(fix)" ones SURT repaired itself.
    if (StartsWith(line, L"(f)") || StartsWith(line, L"(w")) {
      SurtRecord r = FindingRecord(line);
      if (r.category.empty()) continue;
      bool known = false;
      for (auto& old : records)
        if (old.category == r.category && old.lines == r.lines) known = true;
      if (known) continue;
      records.push_back(r);
      ++detected;
    }
  }
  a.counters.surtDetected += detected;
  // Each package is listed by its .mum and its .cat file.
  a.counters.surtUnimportant += ie10Lines / 2;
  return !summary;
}

}  // namespace corvex
