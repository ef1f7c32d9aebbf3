// A destination in use, from the script that pends it to the start after
// the restart that finishes the session.
#include <gtest/gtest.h>

#include "app/entry.h"
#include "base/command_line.h"
#include "fs/reboot_directives.h"
#include "script/file_hash.h"
#include "security_test_support.h"

namespace corvex {
namespace {

using testing::kDesktopLog;
using testing::kExe;

using testing::Count;
using testing::FakeSession;
using testing::kWorkingFolder;

const std::wstring kDest = L"C:\\Windows\\System32\\in_use.dll";

TEST(RebootContinuation, InUseDestinationIsReplacedVerifiedAndItsPermissionsRestored) {
  FakeSession f;
  auto& sec = f.w.security();
  f.w.AddMachineKey(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager");
  f.w.AddMachineKey(L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
  sec.AddProtectedFile(kDest, "old bytes");
  const auto original = sec.DescriptorOf(kDest);
  f.w.AddFile(L"C:\\fix\\new.dll", "new bytes");
  auto holder = f.w.HoldOpen(kDest, platform::access::kRead, platform::share::kRead);
  const std::wstring hash = HexToBase64(HashFile(f.s, L"C:\\fix\\new.dll"));
  // What PowerCopy:: leaves for the start after the restart.
  f.w.AddFile(kWorkingFolder + L"\\Reboot_Pre_Script",
              testing::Utf16Bom(L"PostRebootCorruptionDetection::\r\n" + kDest + L"|" + hash +
                                L"\r\nPostRebootRestorePermissions::\r\n" + kDest + L"\r\n"));
  f.w.AddFile(L"C:\\fix.txt", ToLatin1(L"TakePermissions::\r\n" + kDest +
                                       L"\r\nReplaceOverReboot::\r\n\"C:\\fix\\new.dll\" " + kDest +
                                       L"\r\nReboot::\r\nDebug::\r\nNo cbs\r\n"));

  RunProgram(f.s, {kExe, L"C:\\fix.txt"});
  EXPECT_TRUE(testing::Holds(f.w.ConsoleText(), L"Successfully processed all directives prior to system reboot.\n"));
  EXPECT_FALSE(f.w.Exists(kDesktopLog)) << "the session goes on after the restart";
  EXPECT_EQ(f.w.messages.size(), 1u);
  EXPECT_EQ(f.w.restarts, std::vector<uint32_t>{0x80040001});
  ASSERT_EQ(f.w.pendingRenames.size(), 1u);
  EXPECT_EQ(f.w.FileBytes(kDest), "old bytes");
  const std::wstring saved = f.Utf16File(kWorkingFolder + L"\\Reboot_Neat_Log");
  EXPECT_TRUE(EndsWith(saved, L"Successfully pended file for replace over reboot: " + kDest +
                                  L"\r\nReplaceOverReboot:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"
                                  L"Reboot:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"))
      << saved;

  holder.reset();
  const std::wstring command = f.w.SimulateRestart();
  // Its exact form, every argument quoted, is Reboot.SavesScriptLogsAndRunOnce...'s.
  const auto args = SplitCommandLine(command);
  ASSERT_EQ(args, (std::vector<std::wstring>{kExe, kWorkingFolder + L"\\Reboot_Script"})) << command;
  EXPECT_EQ(f.w.FileBytes(kDest), "new bytes");

  Session after(f.w.platform());
  RunProgram(after, args);
  const std::wstring log = f.Utf16File(kDesktopLog);
  EXPECT_TRUE(StartsWith(log, saved)) << "one log, carried on where the saved one stopped";
  EXPECT_EQ(Count(log, L"Start time: "), 1u);
  EXPECT_TRUE(EndsWith(log, L"----------------------EOF-----------------------"));
  EXPECT_EQ(log.substr(saved.size(), log.find(L"Corvex version", saved.size()) - saved.size()),
            L"PostRebootCorruptionDetection::\r\nNo hash verification failures detected.\r\n"
            L"PostRebootCorruptionDetection:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"
            L"PostRebootRestorePermissions::\r\nSuccessfully restored ownership for " + kDest +
                L"\r\nSuccessfully restored permissions on " + kDest +
                L"\r\nPostRebootRestorePermissions:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"
                L"Debug:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n"
                L"Successfully processed all directives.\r\n");
  EXPECT_EQ(sec.DescriptorOf(kDest).owner, original.owner);
  EXPECT_EQ(sec.DescriptorOf(kDest).dacl, original.dacl);
  for (const wchar_t* name : {L"Reboot_Script", L"Reboot_Neat_Log", L"Reboot_Debug_Log", L"ReplaceOverReboot0"})
    EXPECT_FALSE(f.w.Exists(kWorkingFolder + L"\\" + name)) << name;
  EXPECT_EQ(f.w.MachineString(L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", L"Corvex"), L"");
}

TEST(RebootContinuation, StagingFilesNoRenameNamesAreRemovedAtSessionFinish) {
  for (bool listReadable : {true, false}) {
    FakeSession f;
    const std::vector<std::wstring> ours = {L"ReplaceOverReboot0", L"ReplaceOverReboot1", L"ReplaceOverReboot999"};
    const std::vector<std::wstring> others = {L"ReplaceOverReboot01", L"ReplaceOverReboot1000", L"ReplaceOverRebootX"};
    for (auto* names : {&ours, &others})
      for (auto& name : *names) f.w.AddFile(kWorkingFolder + L"\\" + name, "x");
    ASSERT_TRUE(f.w.platform().fs.PendRename(kWorkingFolder + L"\\replaceoverreboot1", kDest).ok());
    // Without the list nothing tells which are still waited for.
    if (!listReadable) f.w.InjectFault(fake::Op::kRegistryRead, L"Session Manager", 5, -1);
    f.w.AddFile(L"C:\\fix.txt", "Debug::\r\n");
    RunProgram(f.s, {kExe, L"C:\\fix.txt"});
    for (auto& name : others) EXPECT_TRUE(f.w.Exists(kWorkingFolder + L"\\" + name)) << name;
    for (auto& name : ours)
      EXPECT_EQ(f.w.Exists(kWorkingFolder + L"\\" + name), !listReadable || name == L"ReplaceOverReboot1") << name;
  }
  // A damaged value's repeated prefixes are no part of the path.
  EXPECT_EQ(PendingRenamePaths({L"\\??\\C:\\a", L"!\\??\\C:\\b", L"", L"\\??\\C:\\c", L"", L"\\??\\\\??\\C:\\d",
                                L"\\??\\\\\\?\\C:\\e"}),
            (std::vector<std::wstring>{L"C:\\a", L"C:\\b", L"C:\\c", L"C:\\d", L"C:\\e"}));
}

}  // namespace
}  // namespace corvex
