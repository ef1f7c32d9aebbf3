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

using namespace testing;

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
              Utf16Bom(L"PostRebootCorruptionDetection::\r\n" + kDest + L"|" + hash +
                       L"\r\nPostRebootRestorePermissions::\r\n" + kDest + L"\r\n"));
  f.w.AddFile(L"C:\\fix.txt", ToLatin1(L"TakePermissions::\r\n" + kDest +
                                       L"\r\nReplaceOverReboot::\r\n\"C:\\fix\\new.dll\" " + kDest +
                                       L"\r\nReboot::\r\nDebug::\r\nNo cbs\r\n"));

  // The console, the Desktop log that is not written yet and the file still
  // in place before the restart: the end-to-end in-use replacement case.
  RunProgram(f.s, {kExe, L"C:\\fix.txt"});
  const std::wstring saved = f.Utf16File(kWorkingFolder + L"\\Reboot_Neat_Log");

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
  // The sections before the restart and the hash check after it: the end-to-end case.
  EXPECT_TRUE(Holds(log, L"\r\nPostRebootRestorePermissions::\r\nSuccessfully restored ownership for " +
                             kDest + L"\r\nSuccessfully restored permissions on " + kDest + L"\r\n"));
  EXPECT_EQ(sec.DescriptorOf(kDest).owner, original.owner);
  EXPECT_EQ(sec.DescriptorOf(kDest).dacl, original.dacl);
  // The working files and the RunOnce value gone after it: the same end-to-end case.
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
