// Registry key paths in their long and short forms, the per-key backup
// (reg.exe EXPORT with a datablock beside it), hive loading, and the
// LoadHive:: and RegistryExport:: directives.
#pragma once

#include <string>

#include "core/process_runner.h"
#include "core/session.h"
#include "platform/registry.h"
#include "script/directive.h"

namespace corvex {

// Doubled and trailing backslashes dropped, a short root ("hklm", any case)
// in its long form; a first component that is no short form stays as is.
std::wstring ExpandRootAbbreviation(const std::wstring& keyPath);
// The predefined key of a long or short root name, compared exactly;
// RootKey::kNone for anything else.
platform::RootKey RootKeyFromName(const std::wstring& name);

// The key path's backup folder: %SystemDrive%\Corvex\Backups\Registry\ +
// the path, each key name that a folder name cannot hold ("." and "..",
// names with :*?<>|"/ or "%", a trailing dot or space) written with %XX
// escapes so that every key has its own folder and none climbs out.
std::wstring RegistryBackupRoot(Session& s);
std::wstring RegistryBackupFolder(Session& s, const std::wstring& keyPath);

// One argument of a reg.exe command line, in double quotes.
std::wstring QuoteRegArgument(const std::wstring& text);
// %SystemRoot%\System32\reg.exe (the native one under WOW64), waited for.
RunOutcome RunReg(Session& s, const std::wstring& arguments);

// Switches a privilege of the process token on or off.
bool SwitchPrivilege(Session& s, const std::wstring& name, bool enable);

// Mounts the file as HKEY_LOCAL_MACHINE\CorvexLoadedRegistryHive and
// unloads it again; a file Windows holds loaded (sharing violation) counts
// as loadable.
bool IsHiveFileLoadable(Session& s, const std::wstring& hiveFile);

// Backs the key up to ExportN.reg with ExportN.datablocks beside it; a key
// that does not exist is a success with nothing written. `exportFile` is
// set once the export is on disk, `datablockFile` only on full success.
bool ExportRegistryKeyToBackup(Session& s, const std::wstring& keyPath, std::wstring* exportFile = nullptr,
                               std::wstring* datablockFile = nullptr);

bool LoadHiveDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);
bool RegistryExportDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
