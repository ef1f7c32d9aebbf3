// corvex-helper: what a helper runs before a script reaches a stranger's
// machine, and on the logs that come back. See Usage below.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/text.h"
#include "helper/cbs_table.h"
#include "helper/helper_world.h"
#include "helper/script_check.h"
#include "helper/session_log_reader.h"

namespace corvex::helper {
namespace {

const char kUsage[] =
    "usage: corvex-helper check [--json] SCRIPT.txt|SCRIPT.zip\n"
    "       corvex-helper cbs [--json] [--script] CBS.log [more logs]\n"
    "       corvex-helper log [--json] Corvex.txt\n"
    "Exit status: 0 when nothing would fail (check), nothing is damaged (cbs) or the run\n"
    "succeeded (log); 1 otherwise; 2 for a wrong command line.\n";

void Write(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }
void Write(const std::wstring& text) { Write(ToUtf8(text)); }

int Run(const std::wstring& command, const std::vector<std::filesystem::path>& args, bool json, bool script) {
  if (command == L"check" && args.size() == 1 && !script) {
    ScriptCheck c = CheckScript(args[0]);
    json ? Write(CheckJson(c) + "\n") : Write(CheckText(c));
    return AnyError(c.findings) ? 1 : 0;
  }
  if (command == L"cbs" && !args.empty()) {
    LogTable t = ReadLogs(args);
    if (script)
      Write(DraftScript(t));
    else
      json ? Write(LogTableJson(t) + "\n") : Write(LogTableText(t));
    return AnyError(t.findings) || !t.files.empty() || !t.components.empty() || !t.surt.empty() ? 1 : 0;
  }
  if (command == L"log" && args.size() == 1 && !script) {
    std::ifstream in(args[0], std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SessionLog log = ReadSessionLog(ShownName(args[0]), bytes);
    if (!in.is_open()) log.findings.insert(log.findings.begin(), {log.file, 0, 0, true, L"The log could not be read."});
    json ? Write(SessionLogJson(log) + "\n") : Write(SessionLogText(log));
    return SessionLogStatus(log);
  }
  std::fputs(kUsage, stderr);
  return 2;
}

template <typename Char>
int Main(int argc, Char** argv, std::wstring (*text)(const Char*)) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  bool json = false, script = false;
  std::vector<std::filesystem::path> args;
  for (int i = 2; i < argc; ++i) {
    const std::wstring arg = text(argv[i]);
    if (arg == L"--json")
      json = true;
    else if (arg == L"--script")
      script = true;
    else
      args.emplace_back(argv[i]);
  }
  return Run(text(argv[1]), args, json, script);
}

}  // namespace
}  // namespace corvex::helper

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return corvex::helper::Main<wchar_t>(argc, argv, [](const wchar_t* a) { return std::wstring(a); });
}
#else
int main(int argc, char** argv) {
  return corvex::helper::Main<char>(argc, argv, [](const char* a) { return corvex::FromUtf8(a); });
}
#endif
