#include "helper/cbs_table.h"

#include "analysis/log_analysis.h"
#include "analysis/sfc_result.h"
#include "base/text.h"
#include "core/system_facts.h"
#include "helper/helper_world.h"

namespace corvex::helper {

namespace {

std::wstring Leaf(const std::wstring& name) {
  size_t slash = name.find_last_of(L"\\/");
  return slash == std::wstring::npos ? name : name.substr(slash + 1);
}

void ReadCbs(HelperWorld& world, const std::filesystem::path& log, size_t index, std::vector<CbsRecord>& records,
             LogTable& out) {
  Session& s = world.s;
  const std::wstring shown = ShownName(log);
  const std::wstring mounted = L"C:\\PostedLogs\\" + Decimal(index) + L"\\CBS.log";
  world.view.Mount(mounted, log);
  const size_t before = records.size(), unexamined = s.analysis.notExamined.size();
  ReadCbsLog(s, mounted, cbs_kind::kMemberFile | cbs_kind::kComponent | cbs_kind::kCsiError, records);
  if (s.analysis.notExamined.size() != unexamined)
    out.findings.push_back({shown, 0, 0, true, s.analysis.notExamined.back()});
  for (size_t i = before; i < records.size(); ++i) {
    const CbsRecord& r = records[i];
    if (r.kind != cbs_kind::kMemberFile) {
      out.components.push_back({shown, r.line, r.kind == cbs_kind::kCsiError ? L"csi" : L"component", r.text});
      continue;
    }
    SfcResultFields f;
    std::wstring missing;
    if (!ParseSfcResult(r.text, f, missing)) {
      out.findings.push_back({shown, r.line, r.column, true,
                              L"SFC result line could not be read (" + missing + L" missing): " + r.text});
      continue;
    }
    out.files.push_back(
        {shown, r.line, f.file, f.component, f.version, f.architecture, f.culture, f.publicKeyToken, f.reason});
  }
}

void ReadCheckSur(HelperWorld& world, const std::filesystem::path& log, LogTable& out) {
  Session& s = world.s;
  const std::wstring shown = ShownName(log);
  // The reader knows the log by its place in the Windows folder.
  const std::wstring at = SystemRoot(s) + L"\\Logs\\CBS\\CheckSUR.log";
  world.view.Mount(at, log);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(log, ec)) {
    out.findings.push_back({shown, 0, 0, true, L"The log could not be read."});
    return;
  }
  std::vector<SurtRecord> records;
  const size_t unexamined = s.analysis.notExamined.size();
  ReadCheckSurLog(s, false, records, out.surtFiles);
  if (s.analysis.notExamined.size() != unexamined)
    out.findings.push_back({shown, 0, 0, true, s.analysis.notExamined.back()});
  for (auto& r : records) out.surt.push_back({shown, r.category, r.lines});
}

std::wstring Column(std::wstring text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), L' ');
  return text + L"  ";
}

}  // namespace

LogTable ReadLogs(const std::vector<std::filesystem::path>& logs) {
  HelperWorld world;
  LogTable out;
  std::vector<CbsRecord> records;
  for (size_t i = 0; i < logs.size(); ++i) {
    if (IStartsWith(Leaf(ShownName(logs[i])), L"CheckSUR"))
      ReadCheckSur(world, logs[i], out);
    else
      ReadCbs(world, logs[i], i, records, out);
  }
  return out;
}

std::wstring LogTableText(const LogTable& t) {
  std::wstring out;
  if (!t.files.empty()) {
    size_t wide[4] = {4, 9, 7, 4};
    for (const DamagedFile& f : t.files) {
      wide[0] = std::max(wide[0], f.file.size());
      wide[1] = std::max(wide[1], f.component.size());
      wide[2] = std::max(wide[2], f.version.size());
      wide[3] = std::max(wide[3], f.architecture.size());
    }
    out += Column(L"File", wide[0]) + Column(L"Component", wide[1]) + Column(L"Version", wide[2]) +
           Column(L"Arch", wide[3]) + L"Reason\n";
    for (const DamagedFile& f : t.files)
      out += Column(f.file, wide[0]) + Column(f.component, wide[1]) + Column(f.version, wide[2]) +
             Column(f.architecture, wide[3]) + f.reason + L"  (" + f.log + L":" + Decimal(f.line) + L")\n";
  }
  for (const DamagedComponent& c : t.components)
    out += (c.kind == L"csi" ? L"CSI error: " : L"Component: ") + c.text + L"  (" + c.log + L":" +
           Decimal(c.line) + L")\n";
  for (const SurtFinding& f : t.surt) out += L"CheckSUR: " + f.category + L"  " + Join(f.items, L"  ") + L"\n";
  for (const std::wstring& file : t.surtFiles) out += L"CheckSUR file: " + file + L"\n";
  for (const Finding& f : t.findings) out += FindingLine(f) + L"\n";
  out += Decimal(t.files.size()) + L" damaged file(s), " + Decimal(t.components.size()) +
         L" component and CSI record(s), " + Decimal(t.surt.size()) + L" CheckSUR finding(s).\n";
  return out;
}

std::string LogTableJson(const LogTable& t) {
  std::string out = "{\"files\":[";
  for (size_t i = 0; i < t.files.size(); ++i) {
    const DamagedFile& f = t.files[i];
    out += (i ? "," : "") + std::string("{\"log\":") + JsonString(f.log) + ",\"line\":" + std::to_string(f.line) +
           ",\"file\":" + JsonString(f.file) + ",\"component\":" + JsonString(f.component) +
           ",\"version\":" + JsonString(f.version) + ",\"architecture\":" + JsonString(f.architecture) +
           ",\"culture\":" + JsonString(f.culture) + ",\"publicKeyToken\":" + JsonString(f.publicKeyToken) +
           ",\"reason\":" + JsonString(f.reason) + "}";
  }
  out += "],\"components\":[";
  for (size_t i = 0; i < t.components.size(); ++i) {
    const DamagedComponent& c = t.components[i];
    out += (i ? "," : "") + std::string("{\"log\":") + JsonString(c.log) + ",\"line\":" + std::to_string(c.line) +
           ",\"kind\":" + JsonString(c.kind) + ",\"text\":" + JsonString(c.text) + "}";
  }
  out += "],\"checksur\":[";
  for (size_t i = 0; i < t.surt.size(); ++i) {
    out += (i ? "," : "") + std::string("{\"log\":") + JsonString(t.surt[i].log) +
           ",\"category\":" + JsonString(t.surt[i].category) + ",\"items\":[";
    for (size_t k = 0; k < t.surt[i].items.size(); ++k) out += (k ? "," : "") + JsonString(t.surt[i].items[k]);
    out += "]}";
  }
  out += "],\"checksurFiles\":[";
  for (size_t i = 0; i < t.surtFiles.size(); ++i) out += (i ? "," : "") + JsonString(t.surtFiles[i]);
  return out + "],\"findings\":" + JsonFindings(t.findings) + "}";
}

std::wstring DraftScript(const LogTable& t) {
  std::wstring out = L"PowerCopy::\r\n";
  for (const DamagedFile& f : t.files) {
    const std::wstring culture = IEquals(f.culture, L"neutral") || f.culture.empty() ? L"none" : ToLower(f.culture);
    out += L"\"{ARCHIVE}\\" + f.component + L"_" + f.version + L"_" + f.architecture + L"\\" + f.file +
           L"\" \"%SystemRoot%\\WinSxS\\" + ToLower(f.architecture + L"_" + f.component + L"_" + f.publicKeyToken +
                                                   L"_" + f.version + L"_" + culture) +
           L"_<hash>\\" + f.file + L"\"\r\n";
  }
  return out;
}

}  // namespace corvex::helper
