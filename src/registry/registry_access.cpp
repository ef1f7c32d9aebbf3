#include "registry/registry_access.h"

#include "base/path.h"
#include "base/text.h"
#include "core/datablock_store.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/text_file.h"
#include "core/text_reader.h"
#include "core/working_folders.h"
#include "registry/registry_permissions.h"

namespace corvex {

namespace err = platform::err;
namespace keyaccess = platform::keyaccess;
using platform::RootKey;

namespace {

struct RootForm {
  const wchar_t* longName;
  const wchar_t* shortName;
  RootKey key;
};
constexpr RootForm kRoots[] = {
    {L"HKEY_LOCAL_MACHINE", L"HKLM", RootKey::kLocalMachine},
    {L"HKEY_CURRENT_USER", L"HKCU", RootKey::kCurrentUser},
    {L"HKEY_USERS", L"HKU", RootKey::kUsers},
    {L"HKEY_CLASSES_ROOT", L"HKCR", RootKey::kClassesRoot},
    {L"HKEY_CURRENT_CONFIG", L"HKCC", RootKey::kCurrentConfig},
};

constexpr wchar_t kLoadedHiveName[] = L"CorvexLoadedRegistryHive";
constexpr int kMaxExports = 100;

// Characters a folder name cannot hold, and "%", which starts our escapes.
bool NeedsEscape(wchar_t c) { return c < 0x20 || std::wstring(L":*?<>|\"/%").find(c) != std::wstring::npos; }

std::wstring Escape(wchar_t c) {
  wchar_t buffer[8];
  swprintf(buffer, 8, L"%%%02X", static_cast<unsigned>(c) & 0xFF);
  return c > 0xFF ? std::wstring(1, c) : std::wstring(buffer);
}

// A key name as one folder name: "." and ".." would name this folder or
// its parent, and Win32 drops trailing dots and spaces, which would give
// two keys one folder.
std::wstring FolderNameFor(const std::wstring& name) {
  std::wstring out;
  for (wchar_t c : name) out += NeedsEscape(c) ? Escape(c) : std::wstring(1, c);
  size_t end = out.size();
  while (end > 0 && (out[end - 1] == L'.' || out[end - 1] == L' ')) --end;
  std::wstring tail;
  for (size_t i = end; i < out.size(); ++i) tail += Escape(out[i]);
  return out.substr(0, end) + tail;
}

bool IsFile(Session& s, const std::wstring& path) {
  auto attributes = s.os.fs.GetAttributes(path);
  return attributes.ok() && (*attributes & platform::attr::kDirectory) == 0;
}

// Removes the folders an export made for nothing, from `folder` up, never
// the registry backup root or anything above it.
void RemoveEmptyFolders(Session& s, std::wstring folder) {
  const std::wstring root = ToLower(AddLongPathPrefix(RegistryBackupRoot(s)));
  for (int removed = 0; removed < 1000; ++removed) {
    std::wstring prefixed = AddLongPathPrefix(folder);
    if (ToLower(prefixed).size() <= root.size() || !IStartsWith(prefixed, root + L"\\")) return;
    if (!s.os.fs.RemoveFolder(prefixed).ok()) return;
    size_t slash = folder.rfind(L'\\');
    if (slash == std::wstring::npos) return;
    folder.erase(slash);
  }
}

// An export's text as the session log shows it.
std::wstring ExportText(Session& s, const std::wstring& file) {
  std::wstring text = ReadTextFile(s, file).value_or(L"");
  return Trim(ReplaceAll(text, L"Windows Registry Editor Version 5.00\r\n\r\n", L""));
}

}  // namespace

std::wstring ExpandRootAbbreviation(const std::wstring& keyPath) {
  std::vector<std::wstring> parts;
  for (auto& p : Split(keyPath, L"\\"))
    if (!p.empty()) parts.push_back(p);
  if (parts.empty()) return keyPath;
  for (auto& r : kRoots)
    if (IEquals(parts[0], r.shortName)) parts[0] = r.longName;
  return Join(parts, L"\\");
}

RootKey RootKeyFromName(const std::wstring& name) {
  for (auto& r : kRoots)
    if (name == r.longName || name == r.shortName) return r.key;
  return RootKey::kNone;
}

std::wstring RegistryBackupRoot(Session& s) {
  return s.os.env.Expand(L"%SystemDrive%\\Corvex\\Backups\\Registry", 512);
}

std::wstring RegistryBackupFolder(Session& s, const std::wstring& keyPath) {
  std::wstring folder = RegistryBackupRoot(s);
  for (auto& part : Split(keyPath, L"\\"))
    if (!part.empty()) folder += L"\\" + FolderNameFor(part);
  return folder;
}

std::wstring QuoteRegArgument(const std::wstring& text) {
  size_t trailing = 0;
  while (trailing < text.size() && text[text.size() - 1 - trailing] == L'\\') ++trailing;
  return L"\"" + text + std::wstring(trailing, L'\\') + L"\"";
}

RunOutcome RunReg(Session& s, const std::wstring& arguments) {
  return RunProcess(s, MapSystem32Path(s, s.os.env.Expand(L"%SystemRoot%\\System32\\reg.exe", 512)), arguments);
}

bool SwitchPrivilege(Session& s, const std::wstring& name, bool enable) {
  auto& sec = s.os.security;
  auto token = sec.OpenProcessToken();
  if (!token.ok()) {
    TraceErrorCode(s, token.code(), L"Failed to open the process token for " + name + L": ");
    return false;
  }
  auto luid = sec.LookupPrivilege(name);
  if (!luid.ok()) {
    TraceErrorCode(s, luid.code(), L"Failed to look up " + name + L": ");
    return false;
  }
  auto adjusted = sec.AdjustPrivilege(*token, *luid, enable);
  if (!adjusted.ok()) {
    TraceErrorCode(s, adjusted.code(), std::wstring(enable ? L"Failed to enable " : L"Failed to disable ") + name + L": ");
    return false;
  }
  return true;
}

bool IsHiveFileLoadable(Session& s, const std::wstring& hiveFile) {
  const std::wstring file = MapSystem32Path(s, s.os.env.Expand(hiveFile, 512));
  if (!IsFile(s, file)) return false;
  SwitchPrivilege(s, L"SeRestorePrivilege", true);
  SwitchPrivilege(s, L"SeBackupPrivilege", true);
  auto loaded = s.os.registry.LoadHive(kLoadedHiveName, file);
  bool loadable = loaded.ok() || loaded.code() == err::kSharingViolation;
  if (loaded.ok()) {
    auto unloaded = s.os.registry.UnloadHive(kLoadedHiveName);
    if (!unloaded.ok()) TraceErrorCode(s, unloaded.code(), L"Failed to unload the test mount of " + file + L": ");
  }
  SwitchPrivilege(s, L"SeBackupPrivilege", false);
  SwitchPrivilege(s, L"SeRestorePrivilege", false);
  return loadable;
}

bool ExportRegistryKeyToBackup(Session& s, const std::wstring& keyPath, std::wstring* exportFile,
                               std::wstring* datablockFile) {
  // A quote would end reg.exe's argument early and hand it the rest as
  // arguments of its own.
  if (keyPath.find(L'"') != std::wstring::npos) {
    TraceError(s, L"Refused to export a registry key path holding a double quote: " + keyPath);
    return false;
  }
  size_t slash = keyPath.find(L'\\');
  RootKey root = RootKeyFromName(keyPath.substr(0, slash));
  std::wstring subkey = slash == std::wstring::npos ? L"" : keyPath.substr(slash + 1);
  auto opened = s.os.registry.OpenKey(root, subkey, keyaccess::kEnumerateSubKeys | keyaccess::kWow64_64Key);
  if (!opened.ok() && opened.code() == err::kFileNotFound) return true;
  if (opened.ok()) opened->Close();

  const std::wstring folder = RegistryBackupFolder(s, keyPath);
  auto made = CreateFolderChain(s, folder);
  if (!made.ok()) {
    TraceErrorCode(s, made.code(), L"Failed to create the registry backup folder " + folder + L": ");
    return false;
  }
  std::wstring file;
  for (int n = 0; n < kMaxExports && file.empty(); ++n) {
    std::wstring candidate = folder + L"\\Export" + Decimal(static_cast<uint64_t>(n)) + L".reg";
    if (!s.os.fs.GetAttributes(AddLongPathPrefix(candidate)).ok()) file = candidate;
  }
  if (file.empty()) {
    TraceError(s, L"Every export name of " + keyPath + L" is taken.");
    return false;
  }
  RunOutcome run = RunReg(s, L" EXPORT " + QuoteRegArgument(keyPath) + L" " + QuoteRegArgument(file) + L" /y");
  if (run.Failure() != 0 || !IsFile(s, AddLongPathPrefix(file))) {
    RemoveEmptyFolders(s, folder);
    return false;
  }
  if (exportFile) *exportFile = file;

  std::wstring sddl = FindRegistryDataBlock(s, keyPath);
  if (sddl.empty()) {
    // Record only: a backup must not leave the key opened up.
    std::wstring ignored;
    if (!RegistryTakePermissionsDirective(s, {L"[MODE:1]", keyPath}, ArchiveFolder(s), ignored)) return false;
    sddl = FindRegistryDataBlock(s, keyPath);
  }
  const std::wstring blocks = file.substr(0, file.size() - 3) + L"datablocks";
  if (!WriteTextFile(s, blocks, sddl.empty() ? L"" : keyPath + L"|" + sddl).ok()) return false;
  if (datablockFile) *datablockFile = blocks;
  return true;
}

bool LoadHiveDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  if (!SwitchPrivilege(s, L"SeRestorePrivilege", true))
    report += L"Failed to enable the SE_RESTORE_NAME privilege for the loading of registry hives.\r\n";
  if (!SwitchPrivilege(s, L"SeBackupPrivilege", true))
    report += L"Failed to enable the SE_BACKUP_NAME privilege for the loading of registry hives.\r\n";
  for (auto line : lines) {
    std::wstring upper = ToUpper(line);
    if (upper == L"COMPONENTS" || upper == L"SCHEMA") {
      line = upper == L"COMPONENTS" ? L"%windir%\\System32\\config\\COMPONENTS|COMPONENTS"
                                    : L"%SystemRoot%\\System32\\SMI\\Store\\Machine\\SCHEMA.DAT|SCHEMA";
      line = MapSystem32Path(s, s.os.env.Expand(line, 512));
    }
    std::vector<std::wstring> pieces;
    for (auto& p : Split(line, L"|"))
      if (!p.empty()) pieces.push_back(p);
    if (pieces.size() < 2) {
      report += L"Failed to load registry hive " + line + L". Invalid input.\r\n";
      ok = false;
      continue;
    }
    const std::wstring shown = UnmapSystem32Path(s, pieces[0]);
    if (!IsFile(s, pieces[0])) {
      report += L"Failed to load registry hive file " + shown + L". File not found.\r\n";
      ok = false;
      continue;
    }
    auto loaded = s.os.registry.LoadHive(pieces[1], pieces[0]);
    if (loaded.ok()) {
      report += L"Successfully loaded registry hive " + shown + L" into key HKEY_LOCAL_MACHINE\\" + pieces[1] + L".\r\n";
    } else {
      report += L"Failed to load registry hive " + shown + L" into key HKEY_LOCAL_MACHINE\\" + pieces[1] +
                L" with error code " + ErrorCodeName(loaded.code()) + L".\r\n";
      ok = false;
    }
  }
  if (!SwitchPrivilege(s, L"SeRestorePrivilege", false))
    report += L"Failed to disable the SE_RESTORE_NAME privilege for the loading of registry hives.\r\n";
  if (!SwitchPrivilege(s, L"SeBackupPrivilege", false))
    report += L"Failed to disable the SE_BACKUP_NAME privilege for the loading of registry hives.\r\n";
  return ok;
}

bool RegistryExportDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  for (auto& line : lines) {
    const std::wstring key = ExpandRootAbbreviation(ReplaceAll(ReplaceAll(line, L"[", L""), L"]", L""));
    std::wstring exported, blocks;
    if (ExportRegistryKeyToBackup(s, key, &exported, &blocks)) {
      std::wstring text = exported.empty() ? L"" : ExportText(s, exported);
      std::wstring datablocks = blocks.empty() ? L"" : ReadTextFile(s, blocks).value_or(L"");
      report += L"Successfully exported registry key " + key + L".\r\n\r\n" + text + L"\r\n\r\nDatablocks: " +
                datablocks + L"\r\n\r\n";
      continue;
    }
    ok = false;
    if (exported.empty()) {
      report += L"Failed to export registry key " + key + L".\r\n\r\n";
    } else {
      report += L"Failed to export datablocks for registry key " + key + L".\r\n\r\n" + ExportText(s, exported) +
                L"\r\n\r\n";
    }
  }
  return ok;
}

}  // namespace corvex
