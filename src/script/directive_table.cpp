#include "script/directive_table.h"

#include "core/debug_directive.h"
#include "core/text.h"

namespace corvex {

static bool FallbackDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"Failed to determine directive or no lines were entered under this directive.";
  return false;
}

// A null handler is a directive this version does not carry yet: the
// dispatcher reports it as not available and counts it as failed.
static const DirectiveEntry kTable[] = {
    {L"AutoAnalysis::", nullptr},
    {L"PowerCopy::", nullptr},
    {L"::", FallbackDirective},
    {L"Collect::", nullptr},
    {L"AA::", nullptr},
    {L"TrustedInstaller::", nullptr},
    {L"Debug::", DebugDirective},
    {L"TakePermissions::", nullptr},
    {L"RestorePermissions::", nullptr},
    {L"ReplaceOverReboot::", nullptr},
    {L"DataBlock::", nullptr},
    {L"CreateDataBlocks::", nullptr},
    {L"DeleteDataBlocks::", nullptr},
    {L"PrintDataBlocks::", nullptr},
    {L"CountDataBlocks::", nullptr},
    {L"CopyFiles::", nullptr},
    {L"CreateDirectory::", nullptr},
    {L"LoadHive::", nullptr},
    {L"RegistryScript::", nullptr},
    {L"SFC::", nullptr},
    {L"Reboot::", nullptr},
    {L"PostRebootRestorePermissions::", nullptr},
    {L"FileScan::", nullptr},
    {L"CheckStoreFlags::", nullptr},
    {L"VSS::", nullptr},
    {L"BitShift::", nullptr},
    {L"RegSet::", nullptr},
    {L"PostRebootCorruptionDetection::", nullptr},
    {L"RegistryTakePermissions::", nullptr},
    {L"RegistryRestorePermissions::", nullptr},
    {L"Trace::", nullptr},
    {L"RestoreFromBackup::", nullptr},
    {L"RepairPermissions::", nullptr},
    {L"CopyLockedFile::", nullptr},
    {L"Zip::", nullptr},
    {L"CreateHardlink::", nullptr},
    {L"Delete::", nullptr},
    {L"RegistryExport::", nullptr},
    {L"SymbolServer::", nullptr},
};

const DirectiveEntry* DirectiveTable() { return kTable; }
size_t DirectiveCount() { return sizeof kTable / sizeof kTable[0]; }

const DirectiveEntry* FindDirective(const std::wstring& header) {
  for (auto& e : kTable)
    if (IEquals(header, e.name)) return &e;
  return nullptr;
}

}  // namespace corvex
