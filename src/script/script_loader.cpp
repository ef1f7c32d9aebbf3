#include "script/script_loader.h"

#include "base/path.h"
#include "core/console_output.h"
#include "core/session_log.h"
#include "base/text.h"
#include "core/working_folders.h"
#include "platform/filesystem.h"
#include "script/script_list.h"
#include "core/text_reader.h"
#include "script/zip_reader.h"

namespace corvex {

static const wchar_t kZipCorrupt[] =
    L"ERROR: Zip file is corrupt or unreadable. This may be due to a bad download.\nPlease re-download the zip "
    L"file, try again, and see if the problem persists. If it does, let your helper know as it may be that the "
    L"upload is corrupt, and that is something that only your helper can fix.\n\nPress any key to exit . . . ";

// A script saved with CR alone at its line ends would otherwise reach the
// dispatcher, which cuts at line feeds, as one line: a single unrecognised
// directive that counts as success. Its lines are given CR LF like any other.
static std::wstring EndLinesWithCrLf(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    out.push_back(text[i]);
    if (text[i] == L'\r' && (i + 1 == text.size() || text[i + 1] != L'\n')) out.push_back(L'\n');
  }
  return out;
}

static bool ReadTextScript(Session& s, std::wstring& script) {
  std::wstring text = EndLinesWithCrLf(ReadTextFile(s, s.scriptPath).value_or(L""));
  if (text.empty()) {
    AppendToSessionLog(s, L"Failed to read script or malformed script.\r\n\r\n\r\n\r\n\r\n");
    return false;
  }
  script = text;
  AppendToSessionLog(s, L"\r\n\r\n\r\n\r\n");
  return true;
}

std::wstring ExtractArchive(Session& s, const std::wstring& zipPath, std::wstring& textScript,
                            std::wstring& archive) {
  archive = ArchiveFolder(s);
  textScript = zipPath;
  auto made = CreateFolderChain(s, archive);
  if (!made.ok()) return L"Failed to create folder " + archive + L" with error code " + ErrorCodeName(made.code()) + L".";
  std::wstring error = ExtractZip(s.os.fs, zipPath, AddLongPathPrefix(archive));
  // A zip of empty folders places nothing: report it as extracting no files.
  if (error.empty() && ListFiles(s, archive, L"*.*", true).empty()) error = L"Failed to extract any files.";
  auto a = s.os.fs.GetAttributes(archive + L"\\Corvex.txt");
  textScript = (a.ok() && !(*a & platform::attr::kDirectory)) ? archive + L"\\Corvex.txt" : zipPath;
  return error;
}

bool LoadScript(Session& s, const std::vector<std::wstring>& argv, std::wstring& script, std::wstring& archive) {
  std::vector<std::wstring> args(argv.begin() + (argv.empty() ? 0 : 1), argv.end());
  s.scriptPath = Trim(Join(args, L" "));
  size_t dot = s.scriptPath.rfind(L'.');
  std::wstring extension = dot == std::wstring::npos ? L"" : ToLower(s.scriptPath.substr(dot + 1));

  if (extension == L"txt") {
    std::wstring count = ScriptListCount(s, s.scriptPath);
    AppendToSessionLog(s, L"Using .txt script file at " + StripLongPathPrefix(s.scriptPath) + L" [" + count + L"]\r\n");
    return ReadTextScript(s, script);
  }
  if (extension == L"zip") {
    std::wstring count = ScriptListCount(s, s.scriptPath);
    AppendToSessionLog(s, L"Using .zip script file at " + StripLongPathPrefix(s.scriptPath) + L" [" + count + L"]\r\n");
    std::wstring textScript;
    std::wstring error = ExtractArchive(s, s.scriptPath, textScript, archive);
    if (!error.empty()) {
      if (s.hold) FlushTranscript(s, false);
      Print(s, kZipCorrupt);
      WaitKey(s);
      Print(s, L"\n");
      AppendToSessionLog(s, L"Failed to extract zip archive. " + error + L"\r\n\r\n\r\n\r\n\r\n");
      archive.clear();
      return false;
    }
    if (textScript == s.scriptPath) {
      s.scriptPath.clear();
      script = L"AutoAnalysis::\r\nFilePlacementMode";
      AppendToSessionLog(s, L"Not using an additional text script file.\r\n\r\n\r\n\r\n\r\n");
      s.deferredFlashScan = true;
      return true;
    }
    s.scriptPath = textScript;
    return ReadTextScript(s, script);
  }
  script = L"AutoAnalysis::\r\nDisplayIntro";
  AppendToSessionLog(s, L"Not using a script file.\r\n\r\n\r\n\r\n\r\n");
  s.deferredFlashScan = true;
  return true;
}

}  // namespace corvex
