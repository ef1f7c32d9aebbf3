#include "app/directive_table.h"

#include "script/debug_directive.h"
#include "analysis/auto_analysis.h"
#include "analysis/sfc_directive.h"
#include "base/text.h"
#include "fs/datablock_directives.h"
#include "fs/file_directives.h"
#include "fs/permission_directives.h"
#include "fs/powercopy.h"
#include "fs/reboot_directives.h"
#include "fs/shadow_directives.h"
#include "online/collect.h"
#include "online/symbol_server.h"
#include "registry/registry_access.h"
#include "registry/registry_permissions.h"
#include "registry/registry_scan.h"
#include "registry/registry_script.h"

namespace corvex {

static bool FallbackDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"Failed to determine directive or no lines were entered under this directive.";
  return false;
}

// A null handler is a directive this version does not carry yet: the
// dispatcher reports it as not available and counts it as failed.
static const DirectiveEntry kTable[] = {
    {L"AutoAnalysis::", AutoAnalysisDirective},
    {L"PowerCopy::", PowerCopyDirective},
    {L"::", FallbackDirective},
    {L"Collect::", CollectDirective},
    {L"AA::", AutoAnalysisDirective},
    {L"TrustedInstaller::", TrustedInstallerDirective},
    {L"Debug::", DebugDirective},
    {L"TakePermissions::", TakePermissionsDirective},
    {L"RestorePermissions::", RestorePermissionsDirective},
    {L"ReplaceOverReboot::", ReplaceOverRebootDirective},
    {L"DataBlock::", DataBlockDirective},
    {L"CreateDataBlocks::", CreateDataBlocksDirective},
    {L"DeleteDataBlocks::", DeleteDataBlocksDirective},
    {L"PrintDataBlocks::", PrintDataBlocksDirective},
    {L"CountDataBlocks::", CountDataBlocksDirective},
    {L"CopyFiles::", CopyFilesDirective},
    {L"CreateDirectory::", CreateDirectoryDirective},
    {L"LoadHive::", LoadHiveDirective},
    {L"RegistryScript::", RegistryScriptDirective},
    {L"SFC::", SfcDirective},
    {L"Reboot::", RebootDirective},
    {L"PostRebootRestorePermissions::", RestorePermissionsDirective},
    {L"FileScan::", FileScanDirective},
    {L"CheckStoreFlags::", CheckStoreFlagsDirective},
    {L"VSS::", VssDirective},
    {L"BitShift::", BitShiftDirective},
    {L"RegSet::", RegSetDirective},
    {L"PostRebootCorruptionDetection::", PostRebootCorruptionDetectionDirective},
    {L"RegistryTakePermissions::", RegistryTakePermissionsDirective},
    {L"RegistryRestorePermissions::", RegistryRestorePermissionsDirective},
    {L"Trace::", TraceDirective},
    {L"RestoreFromBackup::", RestoreFromBackupDirective},
    {L"RepairPermissions::", RepairPermissionsDirective},
    {L"CopyLockedFile::", CopyLockedFileDirective},
    {L"Zip::", ZipDirective},
    {L"CreateHardlink::", CreateHardlinkDirective},
    {L"Delete::", DeleteDirective},
    {L"RegistryExport::", RegistryExportDirective},
    {L"SymbolServer::", online::SymbolServerDirective},
};

const DirectiveTable& ProgramDirectives() {
  static const DirectiveTable table{kTable, sizeof kTable / sizeof kTable[0]};
  return table;
}

}  // namespace corvex
