#include "fs/powercopy.h"

#include <gtest/gtest.h>

#include <tuple>

#include "security_test_support.h"

namespace corvex {
namespace {

using fake::Op;
using namespace testing;
namespace access = platform::access;
namespace share = platform::share;

const std::wstring kSource = L"C:\\Fix\\corvexdemo.dll";
const std::wstring kBackup = L"C:\\Corvex\\Backups\\C\\Windows\\System32\\corvexdemo.dll";
const std::wstring kLine = L"\"" + kSource + L"\" " + kFile;
const std::wstring kPreScript = kWorkingFolder + L"\\Reboot_Pre_Script";
// SHA-256 of "abc" in Base64.
const std::wstring kAbcHash = L"ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=";
const std::wstring kCopyTook = L"Successfully took permissions for file or folder " + kFile + L"\r\n\r\n";
const std::wstring kCopied = L"Successfully copied file " + kSource + L" to " + kFile + L".\r\n";
const std::wstring kCopyRestored = L"Successfully restored ownership for " + kFile +
                               L"\r\nSuccessfully restored permissions on " + kFile + L"\r\n";
const std::wstring kPatience = L"Please be patient, this directive may take several minutes to complete.\n";

// The program's own helpers, watched: what PowerCopy:: hands each of them.
struct Watch {
  PowerCopyCalls calls = PowerCopyCalls::Program();
  std::vector<Lines> taken, restored, created;
  Lines pended;
  std::vector<std::tuple<std::wstring, std::wstring, bool>> locked;
  bool lockedWorks = false, pendFails = false;
  int reboots = 0;
  std::wstring logAtReboot, preScriptAtReboot;

  explicit Watch(FakeSession& f) {
    auto program = PowerCopyCalls::Program();
    auto watch = [](PowerCopyCalls::Handler real, std::vector<Lines>& seen) {
      return [real, &seen](Session& s, Lines lines, const std::wstring& a, std::wstring& r) {
        seen.push_back(lines);
        return real(s, lines, a, r);
      };
    };
    calls.takePermissions = watch(program.takePermissions, taken);
    calls.restorePermissions = watch(program.restorePermissions, restored);
    calls.createDirectory = watch(program.createDirectory, created);
    calls.pendReplacement = [this, program](Session& s, const std::wstring& line, StagingSlots& slots,
                                            std::wstring& r) {
      pended.push_back(line);
      if (pendFails) {
        r += L"Refused.\r\n";
        return PendOutcome{};
      }
      return program.pendReplacement(s, line, slots, r);
    };
    calls.reboot = [this, &f, program](Session& s, Lines lines, const std::wstring& a, std::wstring& r) {
      ++reboots;
      logAtReboot = s.log;
      preScriptAtReboot = f.Utf16File(kPreScript);
      return program.reboot(s, lines, a, r);
    };
    // A shadow copy reads what the file holds, whoever has it open.
    calls.copyLocked = [this, &f, program](Session& s, const std::wstring& from, const std::wstring& to,
                                           bool failIfExists) {
      locked.emplace_back(from, to, failIfExists);
      if (!lockedWorks) return program.copyLocked(s, from, to, failIfExists);
      if (failIfExists && f.w.Exists(to)) return LockedCopyResult{false, L"exists", L""};
      f.w.AddFile(to, f.w.FileBytes(from));
      return LockedCopyResult{true, L"", L""};
    };
  }
};

struct Fixture {
  Protected f;
  Watch w{f};
  Fixture() {
    f.w.MutableNode(kFile)->bytes = "old";
    f.w.AddFile(kSource, "abc");
    // Where ReplaceOverReboot:: and Reboot:: write their values.
    f.w.AddMachineKey(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager");
    f.w.AddMachineKey(L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
  }
  // The report of PowerCopy:: run on the lines, which must return `ok`.
  std::wstring Run(Lines lines, bool ok = true) {
    std::wstring report;
    EXPECT_EQ(PowerCopyWith(f.s, std::move(lines), L"", report, w.calls), ok) << ToUtf8(report);
    return report;
  }
};

TEST(PowerCopy, ReplacesAProtectedFileBackingItUpOnceAndPuttingItsSecurityBack) {
  Fixture x;
  EXPECT_EQ(x.Run({kLine}), kCopyTook + kCopied + kCopyRestored);
  EXPECT_EQ(x.f.w.FileBytes(kFile), "abc");
  EXPECT_EQ(x.f.w.FileBytes(kBackup), "old");
  EXPECT_TRUE(x.f.Back());
  EXPECT_EQ(x.w.reboots, 0);
  EXPECT_FALSE(x.f.s.rebootRequired);

  // A kept backup only warns; its sentence is the end-to-end case of copies with backups.
  x.f.w.AddFile(kSource, "xyz");
  x.Run({kLine});
  EXPECT_EQ(x.f.w.FileBytes(kBackup), "old") << "the first backup is never overwritten";
  EXPECT_EQ(x.f.w.FileBytes(kFile), "xyz");

  // The skip mask leaves the file but takes the backup.
  Fixture y;
  y.f.s.skipMask = skip::kFileCopy;
  EXPECT_EQ(y.Run({kLine}), kCopyTook + kCopied + kCopyRestored);
  EXPECT_EQ(y.f.w.FileBytes(kFile), "old");
  EXPECT_EQ(y.f.w.FileBytes(kBackup), "old");
}

TEST(PowerCopy, ModeLinesChooseSentencesBackupsAndQuietHelpers) {
  const std::wstring newSource = L"C:\\Fix\\new.dll", newFile = L"C:\\Windows\\System32\\corvexnew\\new.dll";
  const std::wstring copied = kCopied + L"Successfully copied file " + newSource + L" to " + newFile + L".\r\n";
  const std::vector<std::tuple<std::wstring, std::wstring, bool>> cases = {
      {L"", copied, true},
      {L"[MODE:1]",
       L"FIXED: Corruption at " + kFile + L" has been successfully repaired from " + kSource + L".\r\nFIXED: " +
           L"Corruption at " + newFile + L" has been successfully repaired from " + newSource + L".\r\n",
       true},
      {L"[MODE:2]",
       L"Successfully restored file " + kFile + L" from backup.\r\nSuccessfully restored file " + newFile +
           L" from backup.\r\n",
       false},
  };
  for (const auto& [modeLine, sentences, backup] : cases) {
    Fixture x;
    x.f.w.AddFile(newSource, "n");
    Lines lines{kLine, L"\"" + newSource + L"\" " + newFile};
    if (!modeLine.empty()) lines.insert(lines.begin(), modeLine);
    SCOPED_TRACE(ToUtf8(modeLine));
    const std::wstring report = x.Run(lines);
    const bool quiet = modeLine == L"[MODE:1]" || modeLine == L"[MODE:2]";
    // Quiet helpers say nothing of success; otherwise their blocks surround the copies.
    if (quiet) {
      EXPECT_EQ(report, sentences);
    } else {
      EXPECT_TRUE(testing::Holds(report, L".\r\n\r\n" + sentences + L"Successfully restored"));
    }
    EXPECT_EQ(x.f.w.Exists(kBackup), backup) << modeLine;
    EXPECT_EQ(x.f.w.FileBytes(newFile), "n");
    auto withMode = [&](const wchar_t* mode, Lines l) {
      if (quiet) l.insert(l.begin(), mode);
      return std::vector<Lines>{l};
    };
    const Lines paths{kFile, L"C:\\Windows\\System32"};
    EXPECT_EQ(x.w.taken, withMode(L"[MODE:1]", paths));
    EXPECT_EQ(x.w.created, withMode(L"[MODE:2]", {L"C:\\Windows\\System32\\corvexnew"}));
    EXPECT_EQ(x.w.restored, withMode(L"[MODE:1]", paths));
    EXPECT_TRUE(x.f.Back());
  }
}

TEST(PowerCopy, AFailedBackupLeavesTheFileAlone) {
  struct Case {
    Op op;
    const wchar_t* part;
    uint32_t code;
    int times;
    std::wstring sentences;
  };
  const std::wstring dir = L"Failed to create backup directory for file " + kFile + L".\r\n\r\n";
  const std::vector<Case> cases = {
      {Op::kCreateFolder, L"Backups\\C", 5, -1, dir},
      {Op::kCreateFolder, L"Backups", 5, -1,
       L"WARNING: Failed to create outer backup directory. Some files may not be successfully backed up.\r\n\r\n" +
           dir},
      {Op::kCopyFile, L"Backups", 5, 1,
       L"Failed to backup file " + kFile + L" with error code ERROR_ACCESS_DENIED.\r\n\r\n"},
      // Held without read sharing: the shadow-copy route, which fails.
      {Op::kShadowCreate, L"loc0.", 0x32, -1,
       L"Failed to backup locked file " + kFile +
           L".\r\nCopyLockedFile:: failed in location 0 with error code 0x32.\r\n\r\n"},
  };
  for (const Case& c : cases) {
    Fixture x;
    x.f.w.InjectFault(c.op, c.part, c.code, c.times);
    auto held = c.op == Op::kShadowCreate ? x.f.w.HoldOpen(kFile, access::kRead, share::kNone) : nullptr;
    EXPECT_EQ(x.Run({kLine}, false), kCopyTook + c.sentences + kCopyRestored) << c.part;
    held.reset();
    EXPECT_EQ(x.f.w.FileBytes(kFile), "old") << c.part;
    EXPECT_TRUE(x.f.Back()) << c.part;
  }
}

TEST(PowerCopy, LockedFilesGoThroughAShadowCopyButNeverOverAnOlderBackup) {
  for (bool older : {false, true}) {
    Fixture x;
    x.w.lockedWorks = true;
    if (older) x.f.w.AddFile(kBackup, "first");
    auto held = x.f.w.HoldOpen(kFile, access::kRead, share::kWrite);
    x.Run({kLine});
    EXPECT_EQ(x.w.reboots, 1) << "the destination is in use too";
    if (older) {
      EXPECT_TRUE(x.w.locked.empty()) << "no shadow copy is even tried";
      EXPECT_EQ(x.f.w.FileBytes(kBackup), "first");
      EXPECT_TRUE(testing::Holds(x.w.logAtReboot, L"WARNING: File " + kFile + L" was not backed up"));
    } else {
      ASSERT_EQ(x.w.locked.size(), 1u);
      EXPECT_EQ(x.w.locked[0], std::make_tuple(L"\\\\?\\" + kFile, L"\\\\?\\" + kBackup, true));
      EXPECT_EQ(x.f.w.FileBytes(kBackup), "old");
    }
    EXPECT_EQ(x.f.w.ConsoleText(), older ? L"" : kPatience);
  }

  // A locked source is copied through a shadow copy too. The route under
  // WOW64 and its "64bit " failures are CopyLockedFile's own:
  // LockedCopy.EachLocationOnBothRoutesFailsWithItsTextAndLeavesNoSnapshot.
  const std::wstring a = L"C:\\Data\\a.dll", b = L"C:\\Data\\b.dll";
  auto failed = [&](const std::wstring& to) {
    return L"Failed to copy file " + kSource + L" to " + to +
           L".\r\nCopyLockedFile:: failed in location 0 with error code 0x32.\r\n";
  };
  auto copied = [&](const std::wstring& to) {
    return L"Successfully copied locked file " + kSource + L" to " + to + L".\r\n";
  };
  for (bool works : {false, true}) {
    Fixture x;
    x.w.lockedWorks = works;
    if (!works) x.f.w.InjectFault(Op::kShadowCreate, L"loc0.", 0x32, -1);
    auto held = x.f.w.HoldOpen(kSource, access::kRead, share::kNone);
    const std::wstring report = x.Run({L"\"" + kSource + L"\" " + a, L"\"" + kSource + L"\" " + b}, works);
    EXPECT_TRUE(testing::Holds(report, works ? copied(a) + copied(b) : failed(a) + failed(b))) << ToUtf8(report);
    EXPECT_EQ(x.f.w.ConsoleText(), kPatience) << "once per run";
    EXPECT_EQ(x.f.w.FileBytes(b), works ? "abc" : "");
  }
}

TEST(PowerCopy, DestinationInUseIsPendedUnderItsSystem32NameAndHandedToReboot) {
  Fixture x;
  auto held = x.f.w.HoldOpen(kFile, access::kRead, share::kRead);
  x.Run({kLine});
  EXPECT_EQ(x.w.pended, (Lines{kLine}));
  const std::wstring section = kCopyTook + L"The file " + kFile + L" is in use and must be replaced over a reboot.\r\n" +
                               L"Successfully pended file for replace over reboot: " + kFile + L"\r\n";
  EXPECT_EQ(x.w.logAtReboot, L"PowerCopy::\r\n" + Trim(section) +
                                 L"\r\nPowerCopy:: directive completed successfully.\r\n\r\n\r\n\r\n\r\n");
  EXPECT_EQ(x.w.preScriptAtReboot, L"PostRebootCorruptionDetection::\r\n" + kFile + L"|" + kAbcHash +
                                       L"\r\nPostRebootRestorePermissions::\r\n" + kFile + L"\r\n");
  EXPECT_EQ(x.w.reboots, 1);
  EXPECT_TRUE(x.w.restored.empty()) << "its security is put back after the restart";
  EXPECT_TRUE(x.f.s.rebootRequired);
  EXPECT_EQ(x.f.w.FileBytes(kBackup), "old");
  // The staged copy's bytes and the move at the restart: ReplaceOverReboot's
  // and RebootContinuation's tests.
  EXPECT_EQ(x.f.w.FileBytes(kFile), "old");

  // Under WOW64 the pended line names the real System32 destination. Its
  // rename: ReplaceOverReboot.EachStepsSentencesAndWhatIsLeft; the backup under
  // the System32 name: the end-to-end case of copies with backups.
  Fixture y;
  y.f.w.wow64 = true;
  const std::wstring sysnative = L"C:\\Windows\\Sysnative\\corvexdemo.dll";
  y.f.w.security().LinkFile(kFile, sysnative);
  auto native = y.f.w.HoldOpen(sysnative, access::kRead, share::kRead);
  y.Run({L"\"" + kSource + L"\" " + sysnative});
  EXPECT_EQ(y.w.pended, (Lines{kLine}));
  EXPECT_TRUE(testing::Holds(y.w.preScriptAtReboot, L"\r\n" + kFile + L"|" + kAbcHash + L"\r\n"));
}

TEST(PowerCopy, PermissionsWaitForTheRestartOnlyWhenTheRenameAndPreScriptAreInPlace) {
  for (bool pendFails : {true, false}) {
    Fixture x;
    x.w.pendFails = pendFails;
    if (!pendFails) x.f.w.InjectFault(Op::kAny, L"Reboot_Pre_Script", 5, -1);
    auto held = x.f.w.HoldOpen(kFile, access::kRead, share::kRead);
    const std::wstring report = x.Run({kLine}, false);
    const std::wstring sentence =
        pendFails ? L"Failed to pend all files for replacement over reboot. Permissions may not be restored for all "
                    L"files.\r\n"
                  : L"Failed to write new reboot pre-script file. Permissions may not be restored for all files.\r\n";
    EXPECT_TRUE(testing::Holds((pendFails ? report : x.w.logAtReboot), sentence)) << report;
    ASSERT_EQ(x.w.restored.size(), 1u) << pendFails;
    EXPECT_EQ(x.w.restored[0], (Lines{kFile}));
    EXPECT_TRUE(x.f.Back());
    EXPECT_EQ(x.w.reboots, pendFails ? 0 : 1) << "renames Windows holds still need the restart";
    EXPECT_EQ(x.f.s.rebootRequired, !pendFails);
  }
}

// A plain copy, one over a read-only file and a line without a destination: the end-to-end case of
// copies with backups.
TEST(CopyFiles, CopiesLineByLine) {
  struct Case {
    std::function<void(FakeSession&)> arrange;
    Lines lines;
    std::wstring report;
    std::string after;  // what C:\Out\a.dll holds
  };
  const std::wstring copied = L"Successfully copied file C:\\a.dll to C:\\Out\\a.dll.\r\n";
  const std::vector<Case> cases = {
      {[](FakeSession& f) {
         f.w.AddFile(L"C:\\Out\\a.dll", "x", 0x21);
         f.w.InjectFault(Op::kSetAttributes, L"Out", 5);
       },
       {L"C:\\a.dll C:\\Out\\a.dll"},
       L"Failed to set file attributes for file C:\\Out\\a.dll with error code ERROR_ACCESS_DENIED.\r\n"
       L"Failed to copy file C:\\a.dll to C:\\Out\\a.dll with error code ERROR_ACCESS_DENIED.\r\n",
       "x"},
      {[](FakeSession& f) { f.w.InjectFault(Op::kGetAttributes, L"Out", 5); }, {L"C:\\a.dll C:\\Out\\a.dll"},
       L"Failed to read file attributes for file C:\\Out\\a.dll.\r\n" + copied, "a"},
      {[](FakeSession&) {}, {L"C:\\missing.dll C:\\Out\\m.dll", L"C:\\a.dll C:\\Out\\a.dll"},
       L"Failed to copy file C:\\missing.dll to C:\\Out\\m.dll with error code ERROR_FILE_NOT_FOUND.\r\n" + copied,
       "a"},
  };
  for (const Case& c : cases) {
    FakeSession f;
    f.w.AddFile(L"C:\\a.dll", "a");
    f.w.AddFolder(L"C:\\Out");
    c.arrange(f);
    EXPECT_EQ(Ran(CopyFilesDirective, f, c.lines, false), c.report);
    EXPECT_EQ(f.w.FileBytes(L"C:\\Out\\a.dll"), c.after) << ToUtf8(c.report);
  }
}

TEST(RestoreFromBackup, CopiesTheBackupOfTheSystem32NameBack) {
  for (bool wow64 : {false, true}) {
    Fixture x;
    x.f.w.wow64 = wow64;
    const std::wstring sysnative = L"C:\\Windows\\Sysnative\\corvexdemo.dll";
    if (wow64) x.f.w.security().LinkFile(kFile, sysnative);
    x.f.w.AddFile(kBackup, "good");
    EXPECT_EQ(Ran(RestoreFromBackupDirective, x.f, {L"\"" + (wow64 ? sysnative : L"\\\\?\\" + kFile) + L"\""}),
              L"Successfully restored file " + kFile + L" from backup.\r\n");
    EXPECT_EQ(x.f.w.FileBytes(kFile), "good");
    EXPECT_TRUE(x.f.Back());
  }
  Fixture x;
  EXPECT_EQ(Ran(RestoreFromBackupDirective, x.f, {L"C:\\Windows\\System32\\gone.dll"}, false),
            L"Failed to copy file C:\\Corvex\\Backups\\C\\Windows\\System32\\gone.dll to "
            L"C:\\Windows\\System32\\gone.dll with error code ERROR_PATH_NOT_FOUND.\r\n");
  EXPECT_FALSE(x.f.w.Exists(L"C:\\Corvex\\Backups")) << "no backups in this mode";
}

}  // namespace
}  // namespace corvex
