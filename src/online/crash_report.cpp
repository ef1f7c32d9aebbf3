#include "online/crash_report.h"

#include <algorithm>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/session_log.h"
#include "core/working_folders.h"
#include "online/collect.h"
#include "platform/filesystem.h"

namespace corvex {

namespace {

constexpr wchar_t kReportFolderName[] = L"\\CorvexCrashReport";
constexpr wchar_t kDumpCopyName[] = L"CorvexCrashDump.dmp";
constexpr wchar_t kReportZipName[] = L"CorvexCrashReport.zip";
// The report folder's own files, in the order they are zipped and named:
// only these are ever deleted there. The folder is under C:\, where any
// user may have made it first.
const wchar_t* const kReportFiles[] = {L"CorvexCrashDump.dmp", L"CorvexScript.txt", L"CorvexScript.zip",
                                       L"CorvexCrashReport.zip"};

bool IsFile(Session& s, const std::wstring& path) {
  auto a = s.os.fs.GetAttributes(AddLongPathPrefix(path));
  return a.ok() && !(*a & platform::attr::kDirectory);
}

uint64_t FileSize(Session& s, const std::wstring& path) {
  auto found = s.os.fs.Find(AddLongPathPrefix(path));
  return found.ok() && found->size() == 1 ? (*found)[0].size : 0;
}

// A folder that is a junction or link may lead anywhere; its files are
// not the program's.
bool IsPlainFolder(Session& s, const std::wstring& path) {
  auto a = s.os.fs.GetAttributes(AddLongPathPrefix(path));
  return a.ok() && (*a & platform::attr::kDirectory) && !(*a & platform::attr::kReparsePoint);
}

void EmptyReportFolder(Session& s, const std::wstring& report) {
  for (const wchar_t* name : kReportFiles) {
    const std::wstring path = report + L"\\" + name;
    if (IsFile(s, path)) s.os.fs.DeleteFile(AddLongPathPrefix(path));
  }
}

// N of "CorvexCrashDump" + N + ".dmp" (0 to 999, no leading zeros), or -1.
int DumpNumber(const std::wstring& name) {
  const std::wstring prefix = L"CorvexCrashDump", suffix = L".dmp";
  if (!IStartsWith(name, prefix) || name.size() <= prefix.size() + suffix.size() ||
      !IEquals(name.substr(name.size() - suffix.size()), suffix))
    return -1;
  const std::wstring digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (digits.size() > 3 || (digits.size() > 1 && digits[0] == L'0')) return -1;
  int n = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return -1;
    n = n * 10 + (c - L'0');
  }
  return n;
}

// When a dump was written: the time its minidump header records (0 for a
// file that is not a whole dump, so that it goes first).
uint32_t DumpTime(Session& s, const std::wstring& path) {
  auto file = s.os.fs.Open(AddLongPathPrefix(path), platform::access::kRead, platform::share::kRead,
                           platform::Disposition::kOpenExisting);
  if (!file.ok()) return 0;
  auto head = (*file)->ReadAt(0, 24);
  if (!head.ok() || head->size() < 24 || head->compare(0, 4, "MDMP") != 0) return 0;
  uint32_t t = 0;
  for (int i = 3; i >= 0; --i) t = (t << 8) | static_cast<unsigned char>((*head)[20 + i]);
  return t;
}

// Keeps the `kept` newest numbered dumps of the folder, `newest` among them.
void PruneDumps(Session& s, const std::wstring& folder, const std::wstring& newest, size_t kept) {
  auto found = s.os.fs.Find(AddLongPathPrefix(folder + L"\\CorvexCrashDump*.dmp"));
  if (!found.ok()) return;
  struct Dump {
    std::wstring path;
    uint32_t time;
  };
  std::vector<Dump> dumps;
  for (const auto& e : *found) {
    if (e.attributes & (platform::attr::kDirectory | platform::attr::kReparsePoint) || DumpNumber(e.name) < 0) continue;
    const std::wstring path = folder + L"\\" + e.name;
    if (IEquals(path, newest)) continue;
    dumps.push_back({path, DumpTime(s, path)});
  }
  std::stable_sort(dumps.begin(), dumps.end(), [](const Dump& a, const Dump& b) { return a.time > b.time; });
  const size_t others = newest.empty() ? kept : kept - 1;
  for (size_t i = others; i < dumps.size(); ++i) s.os.fs.DeleteFile(AddLongPathPrefix(dumps[i].path));
}

std::wstring ScriptExtension(const std::wstring& scriptPath) {
  if (scriptPath.size() <= 4) return L"";
  const std::wstring ext = ToLower(scriptPath.substr(scriptPath.size() - 4));
  return ext == L".txt" || ext == L".zip" ? ext : L"";
}

// The report's files as they will be sent, with their sizes.
std::vector<std::pair<std::wstring, uint64_t>> ReportItems(Session& s, const std::wstring& report) {
  std::vector<std::pair<std::wstring, uint64_t>> items;
  if (report.empty()) return items;
  for (const wchar_t* name : kReportFiles) {
    if (std::wstring(name) == kReportZipName) continue;
    const std::wstring path = report + L"\\" + name;
    if (IsFile(s, path)) items.emplace_back(name, FileSize(s, path));
  }
  return items;
}

std::wstring Bytes(uint64_t n) { return Decimal(n) + (n == 1 ? L" byte" : L" bytes"); }

}  // namespace

std::wstring WriteCrashDump(Session& s, const std::wstring& dumpFolder) {
  if (!s.os.crash.CanWriteDumps()) return L"";
  const std::wstring report = dumpFolder + kReportFolderName;
  EmptyReportFolder(s, report);
  EnsureWorkingFolders(s);
  CreateFolderChain(s, report);

  std::wstring dump;
  for (int n = 0; n <= 999 && dump.empty(); ++n) {
    const std::wstring candidate = dumpFolder + L"\\CorvexCrashDump" + Decimal(static_cast<uint64_t>(n)) + L".dmp";
    if (!s.os.fs.GetAttributes(AddLongPathPrefix(candidate)).ok()) dump = candidate;
  }
  if (dump.empty() || !s.os.crash.WriteDump(AddLongPathPrefix(dump)).ok()) {
    if (!dump.empty()) TraceError(s, L"Failed to write the crash dump " + dump);
    dump.clear();
    auto current = s.os.crash.CurrentFolder();
    std::wstring here = current.ok() ? *current : L".";
    if (!here.empty() && here.back() == L'\\') here.pop_back();
    if (s.os.crash.WriteDump(here + L"\\CorvexCrashDump.dmp").ok()) dump = here + L"\\CorvexCrashDump.dmp";
  }
  // Even when this dump went elsewhere, the folder keeps only the newest.
  PruneDumps(s, dumpFolder, StartsWith(dump, dumpFolder + L"\\") ? dump : L"", kKeptCrashDumps);

  s.reboot.saved = true;
  const std::wstring scriptPath = s.reboot.valid ? s.reboot.scriptPath : L"";
  if (!IsPlainFolder(s, report)) return report;  // nothing copied into a folder that is not ours
  if (!dump.empty())
    s.os.fs.CopyFile(AddLongPathPrefix(dump), AddLongPathPrefix(report + L"\\" + kDumpCopyName), false);
  const std::wstring ext = ScriptExtension(scriptPath);
  if (!ext.empty())
    s.os.fs.CopyFile(AddLongPathPrefix(scriptPath), AddLongPathPrefix(report + L"\\CorvexScript" + ext), false);
  return report;
}

void CrashCallback(Session& s, const std::wstring& reportFolder, const CrashEnding& ending) {
  const auto items = ReportItems(s, reportFolder);
  uint64_t total = 0;
  std::wstring named;
  for (const auto& item : items) {
    total += item.second;
    named += (named.empty() ? L"" : L", ") + item.first + L" (" + Bytes(item.second) + L")";
  }
  if (!items.empty()) AppendToSessionLog(s, L"Crash report: " + named + L"; " + Bytes(total) + L" in all.\r\n");
  if (ending.appendFooter) ending.appendFooter(s);

  std::wstring body =
      L"Something has gone horribly wrong and Corvex has crashed. Would you like Corvex to submit a crash report to "
      L"the developer so that this problem can be fixed? ";
  if (!items.empty())
    body += L"The report holds a full memory dump of Corvex, which may contain text from your files and logs" +
            std::wstring(items.size() > 1 ? L", and the script it ran" : L"") + L": " + named + L", " + Bytes(total) +
            L" in all. ";
  body += L"Type \"y\" for yes or \"n\" for no and press enter to continue:  ";
  wchar_t answer = ending.showPaged ? ending.showPaged(s, L"\n\n                               Corvex Has Crashed\n\n\n", body)
                                    : L'\r';
  for (wchar_t confirm = WaitKey(s); confirm == 8; confirm = WaitKey(s)) {
    s.os.console.Write(L"\b \b");
    answer = WaitKey(s);
    s.os.console.Write(std::wstring(1, answer));
  }
  if (answer == L'y' || answer == L'Y') {
    s.os.console.Write(L"\n\n");
    SendCrashReport(s, reportFolder);
  }
  if (ending.finalLogfiles) ending.finalLogfiles(s);
}

bool SendCrashReport(Session& s, const std::wstring& reportFolder) {
  if (reportFolder.empty()) return false;
  const std::wstring zip = reportFolder + L"\\" + kReportZipName;
  bool zipped = true;
  for (const auto& item : ReportItems(s, reportFolder))
    if (AddToZip(s, zip, reportFolder + L"\\" + item.first) != 0) zipped = false;
  const std::wstring upload = zipped && IsFile(s, zip) ? zip : reportFolder + L"\\" + kDumpCopyName;
  // The log already ends with the crash footer and named the items above
  // it; the upload's own listing goes to the trace.
  std::wstring listing;
  const bool sent = UploadFile(s, upload, Submission::kCrashReport, true, &listing) == upload::kDone;
  if (!listing.empty()) TraceInfo(s, Trim(listing));
  return sent;
}

platform::Status InstallCrashHandlers(Session& s, CrashEnding ending, const std::wstring& dumpFolder) {
  return s.os.crash.Install([&s, ending, dumpFolder]() { CrashCallback(s, WriteCrashDump(s, dumpFolder), ending); });
}

}  // namespace corvex
