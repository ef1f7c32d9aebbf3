#include "helper/session_log_reader.h"

#include "base/text.h"
#include "core/text_reader.h"

namespace corvex::helper {

namespace {

const std::wstring kSucceeded = L" directive completed successfully.";
const std::wstring kFailed = L" directive failed to complete successfully.";
const std::wstring kUnrecognised = L" is not a recognised directive. ";
const std::wstring kEof = L"----------------------EOF-----------------------";

// "PowerCopy::": how the dispatcher names a section.
bool IsDirectiveName(const std::wstring& text) {
  return text.size() > 2 && EndsWith(text, L"::") && text.find_first_of(L" \t") == std::wstring::npos;
}

// The closing line's directive name, or "" when `line` closes nothing.
std::wstring ClosedName(const std::wstring& line, bool& ok) {
  for (const auto* ending : {&kSucceeded, &kFailed}) {
    if (!EndsWith(line, *ending)) continue;
    std::wstring name = line.substr(0, line.size() - ending->size());
    if (!IsDirectiveName(name)) continue;
    ok = ending == &kSucceeded;
    return name;
  }
  return L"";
}

bool SaysWhatFailed(const std::wstring& line) {
  for (const wchar_t* start : {L"Failed", L"Line blocked", L"Did not", L"CORRUPT: ", L"WARNING: "})
    if (StartsWith(line, start)) return true;
  return IContains(line, L" with error code ") || IContains(line, L"not available") || IContains(line, L"failed");
}

// "Currently storing 3 datablocks.": the footer's count.
bool DatablockCount(const std::wstring& line, uint64_t& count) {
  static const std::wstring kStart = L"Currently storing ", kEnd = L" datablocks.";
  if (!StartsWith(line, kStart) || !EndsWith(line, kEnd) || line.size() <= kStart.size() + kEnd.size()) return false;
  const std::wstring digits = line.substr(kStart.size(), line.size() - kStart.size() - kEnd.size());
  if (digits.size() > 18 || digits.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
  count = std::stoull(ToUtf8(digits));
  return true;
}

}  // namespace

SessionLog ReadSessionLog(const std::wstring& file, const std::string& bytes) {
  SessionLog log;
  log.file = file;
  if (bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0)
    log.findings.push_back({file, 1, 1, false,
                            L"the log does not start with the UTF-16LE byte-order mark the program writes; read as "
                            L"it decodes (copied out of a forum post?)"});
  const std::vector<std::wstring> lines = Split(DecodeText(bytes), L"\r\n");
  if (lines.empty() || !StartsWith(lines[0], L"Corvex version ") || !EndsWith(lines[0], L" by Tallwen.")) {
    log.findings.push_back({file, 1, 1, true, L"no header: a session log starts with \"Corvex version ... by Tallwen.\""});
  } else {
    log.version = lines[0];
    if (lines.size() > 2 && StartsWith(lines[2], L"Microsoft ")) log.windows = lines[2];
  }
  bool open = false;
  LoggedDirective section;
  std::vector<std::wstring> body;
  for (uint64_t n = 1; n <= lines.size(); ++n) {
    const std::wstring& line = lines[n - 1];
    bool ok = false;
    const std::wstring closed = ClosedName(line, ok);
    if (!closed.empty()) {
      if (open && section.name != closed) {
        log.findings.push_back({file, section.line, 1, true,
                                section.name + L" section is not closed: the next closing line is " + line});
        open = false;
      }
      if (!open) {
        section = LoggedDirective{closed, n, Outcome::kSucceeded, {}};
        body.clear();
      }
      section.outcome = ok ? Outcome::kSucceeded : Outcome::kFailed;
      if (!ok) {
        for (const std::wstring& b : body)
          if (SaysWhatFailed(b)) section.reasons.push_back(b);
        // Nothing that reads as a failure: the section says it all.
        if (section.reasons.empty())
          for (const std::wstring& b : body)
            if (!Trim(b).empty() && section.reasons.size() < 3) section.reasons.push_back(b);
      }
      log.directives.push_back(section);
      open = false;
      continue;
    }
    if (open) {
      body.push_back(line);
      continue;
    }
    if (IsDirectiveName(line)) {
      open = true;
      section = LoggedDirective{line, n, Outcome::kSucceeded, {}};
      body.clear();
      continue;
    }
    const size_t unrecognised = line.find(kUnrecognised);
    if (unrecognised != std::wstring::npos && unrecognised > 0) {
      log.directives.push_back({line.substr(0, unrecognised), n, Outcome::kUnrecognised, {}});
      continue;
    }
    if (line == L"Successfully processed all directives." || line == L"Failed to process all directives successfully." ||
        line == L"Successfully processed all directives prior to system reboot." ||
        line == L"Failed to process all directives successfully prior to system reboot.") {
      log.result = line;
      log.rebootPending = EndsWith(line, L"prior to system reboot.");
      continue;
    }
    if (DatablockCount(line, log.datablocks)) {
      log.datablocksKnown = true;
      continue;
    }
    if (line == kEof) log.finished = true;
  }
  if (open)
    log.findings.push_back({file, section.line, 1, true, section.name + L" section is not closed: the log ends inside it"});
  if (!log.finished && !log.rebootPending)
    log.findings.push_back({file, lines.size(), 1, true, L"the log ends before its footer: the run did not finish, "
                                                          L"or only part of the log was posted"});
  return log;
}

int SessionLogStatus(const SessionLog& log) {
  if (AnyError(log.findings) || !StartsWith(log.result, L"Successfully")) return 1;
  for (const LoggedDirective& d : log.directives)
    if (d.outcome == Outcome::kFailed) return 1;
  return 0;
}

namespace {
const wchar_t* OutcomeName(Outcome o) {
  switch (o) {
    case Outcome::kSucceeded: return L"succeeded";
    case Outcome::kFailed: return L"failed";
    case Outcome::kUnrecognised: return L"not recognised";
  }
  return L"";
}
}  // namespace

std::wstring SessionLogText(const SessionLog& log) {
  std::wstring out = log.file + L": " + (log.version.empty() ? L"(no header)" : log.version) +
                     (log.windows.empty() ? L"" : L" " + log.windows) + L"\n";
  for (const LoggedDirective& d : log.directives) {
    out += L"  line " + Decimal(d.line) + L": " + d.name + L" " + OutcomeName(d.outcome) + L"\n";
    for (const std::wstring& r : d.reasons) out += L"      " + r + L"\n";
  }
  out += L"Result: " + (log.result.empty() ? std::wstring(L"(none)") : log.result) + L"\n";
  out += L"Datablocks stored: " + (log.datablocksKnown ? Decimal(log.datablocks) : std::wstring(L"unknown")) + L"\n";
  out += std::wstring(L"Reboot pending: ") + (log.rebootPending ? L"yes" : L"no") + L"\n";
  for (const Finding& f : log.findings) out += FindingLine(f) + L"\n";
  return out;
}

std::string SessionLogJson(const SessionLog& log) {
  std::string out = "{\"file\":" + JsonString(log.file) + ",\"version\":" + JsonString(log.version) +
                    ",\"windows\":" + JsonString(log.windows) + ",\"directives\":[";
  for (size_t i = 0; i < log.directives.size(); ++i) {
    const LoggedDirective& d = log.directives[i];
    out += (i ? "," : "") + std::string("{\"name\":") + JsonString(d.name) + ",\"line\":" + std::to_string(d.line) +
           ",\"outcome\":" + JsonString(OutcomeName(d.outcome)) + ",\"reasons\":[";
    for (size_t k = 0; k < d.reasons.size(); ++k) out += (k ? "," : "") + JsonString(d.reasons[k]);
    out += "]}";
  }
  out += "],\"result\":" + JsonString(log.result) + ",\"rebootPending\":" + (log.rebootPending ? "true" : "false") +
         ",\"datablocks\":" + (log.datablocksKnown ? std::to_string(log.datablocks) : std::string("null")) +
         ",\"finished\":" + (log.finished ? "true" : "false") + ",\"findings\":" + JsonFindings(log.findings) + "}";
  return out;
}

}  // namespace corvex::helper
