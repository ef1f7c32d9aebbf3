#include "fs/permission_directives.h"

#include <gtest/gtest.h>

#include "security_test_support.h"

namespace corvex {
namespace {

using fake::FakeDescriptor;
using fake::Op;
using namespace testing;

const std::wstring kOpenDacl = L"D:PAI(A;OICI;GA;;;WD)";

bool Same(const FakeDescriptor& a, const FakeDescriptor& b) { return a.owner == b.owner && a.dacl == b.dacl; }

const auto Take = TakePermissionsDirective;
const auto Restore = RestorePermissionsDirective;
const std::wstring kTook = L"Successfully took permissions for file or folder " + kFile + L"\r\n";
std::wstring RestoredFile(const std::wstring& path) {
  return L"Successfully restored ownership for " + path + L"\r\nSuccessfully restored permissions on " +
         path + L"\r\n";
}
const std::wstring kRestored = RestoredFile(kFile);

// The token closed, only the everyday privilege on and icacls's file gone.
bool Released(FakeSession& f) {
  return PrivilegesBackOff(f) && f.w.security().OpenHandles() == 0 && !f.w.Exists(kOutAclFile);
}

TEST(TakeAndRestorePermissions, RoundTripGivesBackOwnerAndDaclExactly) {
  Protected f;
  auto& sec = f.w.security();

  EXPECT_EQ(Ran(Take, f, {L"\"" + kFile + L"\""}), kTook);
  EXPECT_EQ(sec.DescriptorOf(kFile).owner, L"S-1-1-0");
  EXPECT_TRUE(Released(f)) << "the state is released at the end";

  // A second take, the file changed since, keeps the first record.
  sec.SetDescriptor(kFile, L"S-1-1-0", L"D:(A;;FA;;;BU)");
  EXPECT_EQ(Ran(Take, f, {L"\\\\?\\" + kFile}), kTook);
  EXPECT_EQ(StoreText(f), kRecord);

  // What the descriptors let a writer do is the fake's own:
  // FakeSecurity.ProtectedFilesRefuseWritesUntilTheirDaclAllowsThem.
  sec.SetDescriptor(kFile, L"S-1-1-0", L"D:AI(A;;FA;;;BU)(A;ID;FA;;;SY)");

  // Sentences name the path without its long-path prefix.
  EXPECT_EQ(Ran(Restore, f, {L"\\\\?\\" + kFile}), kRestored);
  EXPECT_TRUE(f.Back())
      << sec.DescriptorOf(kFile).owner << " " << sec.DescriptorOf(kFile).dacl;
  EXPECT_EQ(StoreText(f), kRecord) << "a restore leaves the record in place";
  EXPECT_TRUE(Released(f));
}

// Both directives take the mode line with one function; the take shows that
// it is a path anywhere else.
TEST(TakeAndRestorePermissions, QuietModeOnlyAsTheFirstLine) {
  Protected f;
  auto& sec = f.w.security();
  EXPECT_EQ(Ran(Take, f, {L"[MODE:1]", kFile}), L"");
  EXPECT_EQ(sec.DescriptorOf(kFile).dacl, kOpenDacl);
  EXPECT_EQ(Ran(Restore, f, {L"[MODE:1]", kFile}), L"");
  EXPECT_TRUE(f.Back());

  // The sentences for a path that is not there: the end-to-end permission case.
  EXPECT_TRUE(StartsWith(Ran(Take, f, {kFile, L"[MODE:1]"}, false),
                         kTook + L"Failed to read ownership for file or folder [MODE:1]."));
  EXPECT_EQ(sec.OpenHandles(), 0u);
}

TEST(TakePermissions, SetupFailuresLeaveTheObjectAlone) {
  struct Case {
    Op op;
    std::wstring part;
    std::wstring sentence;
  };
  const std::vector<Case> cases = {
      {Op::kAdjustPrivilege, L"SeBackupPrivilege", L"Failed to enable privilege 1 in access token for file or folder "},
      {Op::kEveryoneSid, L"", L"Failed to initialise SID for universal well-known SID 'World' for file or folder "},
      {Op::kBuildAcl, L"", L"Failed to set permissions data into ACL for file or folder "},
      {Op::kAdjustPrivilege, L"SeRestorePrivilege", L"Failed to enable privilege 2 in access token for file or folder "},
      {Op::kAdjustPrivilege, L"SeTakeOwnershipPrivilege",
       L"Failed to enable privilege 3 in access token for file or folder "},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.sentence));
    Protected f;
    f.w.InjectFault(c.op, c.part, 5);
    EXPECT_EQ(Ran(Take, f, {kFile}, false), c.sentence + kFile + L"\r\n");
    EXPECT_TRUE(f.Back());
    EXPECT_FALSE(f.w.Exists(kStorePath));
    EXPECT_EQ(f.w.security().OpenHandles(), 0u);
  }
}

TEST(TakePermissions, AFailedRecordPutsTheOwnerBack) {
  // The undo belongs to the failure, so quiet mode writes it too.
  for (const Lines& lines : {Lines{kFile}, Lines{L"[MODE:1]", kFile}}) {
    Protected f;
    f.w.OnProcess(L"icacls.exe", [](const platform::ProcessRequest&) { return platform::ProcessOutcome{5, ""}; });
    EXPECT_EQ(Ran(Take, f, lines, false),
              L"Failed to create new datablock for file or folder " + kFile +
                  L" with return code -5.\r\n"
                  L"Undid the ownership change on " + kFile + L": its owner is " + kTrustedInstaller +
                  L" again.\r\n")
        << "an undo inside a failed line is no success; quiet: " << lines.size();
    EXPECT_TRUE(f.Back()) << "not left owned by Everyone with nothing recorded";
    EXPECT_FALSE(f.w.Exists(kStorePath));
  }

  // A folder named with a trailing backslash is not opened: a record its
  // restore would refuse is no record.
  FakeSession g;
  auto& sec = g.w.security();
  const std::wstring folder = L"C:\\Users\\Tester\\dir";
  g.w.AddFolder(folder);
  sec.SetDescriptor(folder, L"S-1-5-18", L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  const FakeDescriptor original = sec.DescriptorOf(folder);
  EXPECT_EQ(Ran(Take, g, {folder + L"\\"}, false),
            L"Failed to create new datablock for file or folder " + folder +
                L"\\ with return code -10.\r\nUndid the ownership change on " + folder +
                L"\\: its owner is S-1-5-18 again.\r\n");
  EXPECT_TRUE(Same(sec.DescriptorOf(folder), original)) << sec.DescriptorOf(folder).dacl;
  EXPECT_FALSE(g.w.Exists(kStorePath));
  Ran(Take, g, {folder});
  Ran(Restore, g, {folder});
  EXPECT_TRUE(Same(sec.DescriptorOf(folder), original));
}

TEST(TakePermissions, LaterFailuresAreReportedAfterTheRecord) {
  // An owner that cannot be read is recorded as TrustedInstaller's.
  FakeSession d;
  const std::wstring doc = L"C:\\Users\\Tester\\doc.txt";
  d.w.AddFile(doc, "d");
  d.w.InjectFault(Op::kReadOwner, L"doc.txt", 5);
  EXPECT_EQ(Ran(Take, d, {doc}), L"Failed to read ownership for file or folder " + doc +
                                     L". Taking TrustedInstaller to be owner.\r\n"
                                     L"Successfully took permissions for file or folder " + doc + L"\r\n");
  EXPECT_EQ(StoreText(d), doc + L"|" + fake::FakeSecurity::kDefaultFileDacl + L"|" + kTrustedInstaller);

  Protected f;
  f.w.InjectFault(Op::kSetDacl, L"corvexdemo", 5);
  EXPECT_EQ(Ran(Take, f, {kFile}, false), L"Failed to set ACLs for file or folder " + kFile + L"\r\n");
  EXPECT_EQ(StoreText(f), kRecord) << "the record is there to undo the owner change";
  EXPECT_EQ(f.w.security().DescriptorOf(kFile).dacl, kProtectedDacl);

  Protected g;
  g.w.InjectFault(Op::kAdjustPrivilege, L"SeRestorePrivilege", 5, 1, 1);
  g.w.InjectFault(Op::kAdjustPrivilege, L"SeBackupPrivilege", 5, 1, 1);
  EXPECT_EQ(Ran(Take, g, {kFile}, false),
            kTook + L"Failed to disable privilege 1 in process access token for file or folder " + kFile +
                L"\r\n"
                L"Failed to disable privilege 3 in process access token for file or folder " + kFile + L"\r\n");
}

TEST(TakeAndRestorePermissions, SysnativeLinesAreRecordedAsSystem32) {
  Protected f;
  f.w.wow64 = true;
  // The native file, and the name the 32-bit program reaches it by.
  const std::wstring sysnative = L"C:\\Windows\\Sysnative\\corvexdemo.dll";
  f.w.security().LinkFile(kFile, sysnative);
  // The sentences and icacls's System32 arguments: the end-to-end WOW64 permission case.
  Ran(Take, f, {sysnative});
  EXPECT_EQ(StoreText(f), kRecord);
  Ran(Restore, f, {sysnative});
  EXPECT_TRUE(f.Back());
}

TEST(RestorePermissions, ObjectsInTheRootOfADriveAndRecordProblems) {
  FakeSession f;
  f.w.AddFile(L"C:\\bootmgr", "b", 0x27);
  SeedStore(f, L"C:\\bootmgr|D:PAI(A;;FA;;;SY)(A;;0x1200a9;;;BA)|S-1-5-18");
  Ran(Restore, f, {L"C:\\bootmgr"});
  EXPECT_EQ(f.w.processesRun.back().commandLine, L" \"C:\\\\\" /restore \"" + kOutAclFile + L"\"")
      << "\"C:\" alone would be the current folder; the backslash is doubled before the quote";
  EXPECT_EQ(f.w.security().DescriptorOf(L"C:\\bootmgr").dacl, L"D:PAI(A;;FA;;;SY)(A;;0x1200a9;;;BA)");
  EXPECT_EQ(f.w.security().DescriptorOf(L"C:\\bootmgr").owner, L"S-1-5-18");
  f.w.processesRun.clear();

  EXPECT_EQ(Ran(Restore, f, {kFile}, false),
            L"Failed to find stored datablock for file " + kFile + L" in RestoreFromDataBlock.\r\n");

  SeedStore(f, L"C:\\x.dll|nonsense|BA\r\nC:\\Windows\\|D:(A;;FA;;;BA)|BA\r\nx.dll|D:(A;;FA;;;BA)|BA\r\n" + kRecord);
  EXPECT_EQ(Ran(Restore, f, {L"C:\\x.dll", L"C:\\Windows\\", L"x.dll", L"c:\\x.dll"}, false),
            L"Failed to find stored datablock for file or folder C:\\x.dll in RestoreFromDataBlock.\r\n"
            L"Fatal error: Trailing backslash or length error for file or folder C:\\Windows\\ in "
            L"RestoreFromDataBlock.\r\n"
            L"Fatal error: Trailing backslash or length error for file or folder x.dll in RestoreFromDataBlock.\r\n"
            L"Failed to find stored datablock for file c:\\x.dll in RestoreFromDataBlock.\r\n");
  EXPECT_TRUE(f.w.processesRun.empty());

  f.w.security().AddProtectedFile(kFile, "x");
  f.w.InjectFault(Op::kWriteFile, L"outaclfile", 112);
  EXPECT_EQ(Ran(Restore, f, {kFile}, false),
            L"Failed to write temporary file for file or folder " + kFile + L" in RestoreFromDataBlock.\r\n");
}

TEST(RestorePermissions, IcaclsFailuresAndTheNullOwner) {
  Protected f;
  auto& sec = f.w.security();
  Ran(Take, f, {kFile});
  // Someone gave the file to SYSTEM alone: icacls may not write its DACL.
  sec.SetDescriptor(kFile, L"S-1-5-18", L"D:P(A;;FA;;;SY)");
  const std::wstring icaclsFailed =
      L"Failure code returned from icacls process in RestoreFromDataBlock function for file or folder " + kFile +
      L". Error code ";
  const std::wstring ownerBack = L"Successfully restored ownership for " + kFile + L"\r\n";
  EXPECT_EQ(Ran(Restore, f, {kFile}, false), icaclsFailed + L"ERROR_ACCESS_DENIED.\r\n" + ownerBack);
  EXPECT_EQ(sec.DescriptorOf(kFile).owner, kTrustedInstaller);
  EXPECT_FALSE(f.w.Exists(kOutAclFile));

  f.w.InjectFault(Op::kRunProcess, L"icacls", 2);
  EXPECT_EQ(Ran(Restore, f, {kFile}, false), icaclsFailed + L"ERROR_FILE_NOT_FOUND.\r\n" + ownerBack)
      << "an icacls that never started is no success";

  Protected g;
  g.w.security().SetDescriptor(kFile, L"S-1-1-0", kOpenDacl);
  SeedStore(g, kFile + L"|" + kProtectedDacl + L"|S-1-0-0");
  EXPECT_EQ(Ran(Restore, g, {kFile}, false),
            L"Failed to restore ownership: Ownership SID was never successfully read for file or folder " + kFile +
                L".\r\nFailed to restore owner for file or folder " + kFile + L" in RestoreFromDataBlock.\r\n");
  EXPECT_EQ(g.w.security().DescriptorOf(kFile).dacl, kProtectedDacl) << "the DACL still came back";
  EXPECT_EQ(g.w.security().DescriptorOf(kFile).owner, L"S-1-1-0") << "the null SID is never written";
  EXPECT_TRUE(Released(g));
}

TEST(RestorePermissions, ReadOnlyAndHiddenAreClearedAroundIcacls) {
  FakeSession f;
  auto& sec = f.w.security();
  const std::wstring doc = L"C:\\Users\\Tester\\hidden.txt";
  f.w.AddFile(doc, "d", 0x23);
  Ran(Take, f, {doc});
  uint32_t seen = 0;
  f.w.OnProcess(L"icacls.exe", [&](const platform::ProcessRequest& r) {
    seen = f.w.Node(doc)->attributes;
    return sec.RunIcacls(r);
  });
  Ran(Restore, f, {doc});
  EXPECT_EQ(seen, 0x20u);
  EXPECT_EQ(f.w.Node(doc)->attributes, 0x23u);
  EXPECT_EQ(sec.DescriptorOf(doc).dacl, fake::FakeSecurity::kDefaultFileDacl);

  f.w.InjectFault(Op::kSetAttributes, L"hidden.txt", 5);
  EXPECT_EQ(Ran(Restore, f, {doc}),
            L"Failed to set file attributes for file or folder " + doc +
                L" with error code ERROR_ACCESS_DENIED.\r\n" + RestoredFile(doc))
      << "the restore goes on";
  EXPECT_EQ(seen, 0x23u);

  // The restore succeeds, but the file's attributes could not be set back:
  // quiet mode still writes the failure.
  f.w.InjectFault(Op::kSetAttributes, L"hidden.txt", 5, 1, 1);
  EXPECT_EQ(Ran(Restore, f, {L"[MODE:1]", doc}),
            L"Failed to reset file attributes for file or folder " + doc +
                L" with error code ERROR_ACCESS_DENIED.\r\n");
  EXPECT_EQ(seen, 0x20u);
  EXPECT_EQ(sec.DescriptorOf(doc).dacl, fake::FakeSecurity::kDefaultFileDacl);

  f.w.InjectFault(Op::kGetAttributes, L"hidden.txt", 5, 2);
  std::wstring report;
  RestorePermissionsDirective(f.s, {doc}, L"", report);
  EXPECT_TRUE(StartsWith(report, L"Failed to read file attributes for file or folder " + doc + L".\r\n"));
}

TEST(TrustedInstallerDirective, GivesFilesToTrustedInstallerOrSaysWhyNot) {
  const std::wstring given = L"Successfully set file ownership to TrustedInstaller for " + kFile + L"\r\n";
  FakeSession f;
  f.w.AddFile(kFile, "x");
  EXPECT_EQ(Ran(TrustedInstallerDirective, f, {L"\"\\\\?\\" + kFile + L"\""}), given);
  EXPECT_EQ(f.w.security().DescriptorOf(kFile).owner, kTrustedInstaller);
  EXPECT_TRUE(Released(f));

  EXPECT_EQ(Ran(TrustedInstallerDirective, f, {L"C:\\none.dll", kFile}, false),
            L"Failed to set ownership to current user for file or folder C:\\none.dll. Proceeding anyway.\r\n"
            L"Failed to set file ownership to TrustedInstaller for C:\\none.dll. Error code 0x2\r\n" + given)
      << "the next line still finds the user's SID";

  // Neither the restore privilege nor the token: without SeRestorePrivilege
  // TrustedInstaller cannot be made the owner.
  FakeSession g;
  g.w.AddFile(kFile, "x");
  g.w.InjectFault(Op::kOpenToken, L"", 5, 2);
  EXPECT_EQ(Ran(TrustedInstallerDirective, g, {kFile}, false),
            L"Failed to initialise current process access token in TrustedInstaller directive.\r\n"
            L"Failed to set file ownership to TrustedInstaller for " + kFile + L". Error code 0x51B\r\n");
  EXPECT_EQ(g.w.security().DescriptorOf(kFile).owner, g.w.security().userSid);

  FakeSession h;
  h.w.AddFile(kFile, "x");
  h.w.InjectFault(Op::kLookupAccount, L"", 1332);
  h.w.InjectFault(Op::kAdjustPrivilege, L"SeTakeOwnershipPrivilege", 5, 1, 1);
  EXPECT_EQ(Ran(TrustedInstallerDirective, h, {kFile}, false),
            L"Failed to initialise Current User SID in TrustedInstaller directive.\r\n"
            L"Failed to set ownership to current user for file or folder " + kFile + L". Proceeding anyway.\r\n" +
                given +
                L"Failed to disable privilege 2 in process access token in TrustedInstaller directive.\r\n");
}

// A component of the store with its manifest, and the file's name in
// System32 as a second hard link.
const std::wstring kManifestDacl =
    L"D:P(A;;FA;;;" + kTrustedInstaller + L")(A;;GRGX;;;BA)(A;;GRGX;;;SY)(A;;GRGX;;;BU)";

struct Component {
  static constexpr wchar_t kName[] = L"amd64_microsoft-windows-corvexdemo_31bf3856ad364e35_10.0.19041.1_none_0f1e2d3c";
  static std::wstring Folder() { return std::wstring(L"C:\\Windows\\WinSxS\\") + kName; }
  static std::wstring Manifest() { return std::wstring(L"C:\\Windows\\WinSxS\\Manifests\\") + kName + L".manifest"; }

  static std::wstring FileEntry(const std::wstring& name, const std::wstring& descriptor) {
    std::wstring e = L"<file name=\"" + name + L"\" destinationPath=\"$(runtime.system32)\\\" sourceName=\"" + name +
                     L"\" importPath=\"$(build.nttree)\\\">";
    if (!descriptor.empty()) e += L"<securityDescriptor name=\"" + descriptor + L"\" />";
    return e + L"<asmv2:hash><dsig:DigestValue>AAAA</dsig:DigestValue></asmv2:hash></file>";
  }
  static void AddManifest(FakeSession& f, const std::wstring& files,
                          const std::wstring& definitionName = L"WRP_FILE_DEFAULT_SDDL") {
    const std::wstring sddl = L"O:" + kTrustedInstaller + L"G:" + kTrustedInstaller + kManifestDacl;
    f.w.AddFile(Manifest(), ToLatin1(
        L"<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><assembly "
        L"xmlns=\"urn:schemas-microsoft-com:asm.v3\" manifestVersion=\"1.0\"><assemblyIdentity "
        L"name=\"Microsoft-Windows-CorvexDemo\" version=\"10.0.19041.1\" processorArchitecture=\"amd64\" />" +
        files + L"<trustInfo><security><accessControl><securityDescriptorDefinitions><securityDescriptorDefinition "
        L"name=\"" + definitionName + L"\" sddl=\"" + sddl + L"\" operationHint=\"replace\" />"
        L"</securityDescriptorDefinitions></accessControl></security></trustInfo></assembly>"));
  }
  // The entries of files whose descriptor is the manifest's definition.
  static std::wstring Entries(std::initializer_list<const wchar_t*> names) {
    std::wstring out;
    for (const wchar_t* n : names) out += FileEntry(n, L"WRP_FILE_DEFAULT_SDDL");
    return out;
  }

  // The store copy and its System32 name, with a damaged descriptor.
  static void AddFile(FakeSession& f, const std::wstring& systemName) {
    std::wstring leaf = systemName.substr(systemName.rfind(L'\\') + 1);
    f.w.AddFile(Folder() + L"\\" + leaf, "MZ");
    f.w.security().LinkFile(Folder() + L"\\" + leaf, systemName);
    f.w.security().SetDescriptor(systemName, L"S-1-5-32-544", L"D:(A;;FA;;;BU)");
  }
  // The report's sentences for a file repaired through its store copy.
  static std::wstring Repaired(const std::wstring& leaf, const std::wstring& file) {
    return L"Successfully restored ownership for " + Folder() + L"\\" + leaf +
           L"\r\nSuccessfully repaired permissions and ownership on file " + file +
           L" and all associated hardlinks.\r\n";
  }
};

const auto Repair = RepairPermissionsDirective;

TEST(RepairPermissions, RebuildsTheFileAndAllItsLinksFromTheManifest) {
  FakeSession f;
  auto& sec = f.w.security();
  Component::AddFile(f, kFile);
  Component::AddManifest(f, Component::Entries({L"corvexdemo.dll"}));
  const std::wstring storeLink = Component::Folder() + L"\\corvexdemo.dll";
  EXPECT_EQ(Ran(Repair, f, {L"\"" + kFile + L"\""}), Component::Repaired(L"corvexdemo.dll", kFile));
  for (auto& name : {kFile, storeLink}) {
    EXPECT_EQ(sec.DescriptorOf(name).owner, kTrustedInstaller) << name;
    EXPECT_EQ(sec.DescriptorOf(name).dacl, kManifestDacl) << name;
  }
  EXPECT_EQ(StoreText(f), storeLink + L"|" + kManifestDacl + L"|" + kTrustedInstaller);
  EXPECT_EQ(f.w.processesRun.back().commandLine,
            L" \"" + Component::Folder() + L"\" /restore \"" + kOutAclFile + L"\"");
  EXPECT_TRUE(Released(f)) << "the token is closed too";
}

TEST(RepairPermissions, AFolderRepairsEachFileInIt) {
  const std::wstring folder = L"C:\\Windows\\System32\\corvexdir";
  FakeSession f;
  Component::AddFile(f, folder + L"\\a.dll");
  Component::AddFile(f, folder + L"\\b.dll");
  Component::AddManifest(f, Component::Entries({L"a.dll", L"b.dll"}));
  const std::wstring folderDacl = f.w.security().DescriptorOf(folder).dacl;
  // Named with a trailing backslash, the files' paths still come out plain.
  EXPECT_EQ(Ran(Repair, f, {folder + L"\\"}),
            Component::Repaired(L"a.dll", folder + L"\\a.dll") + Component::Repaired(L"b.dll", folder + L"\\b.dll"));
  EXPECT_EQ(f.w.security().DescriptorOf(folder + L"\\b.dll").dacl, kManifestDacl);
  EXPECT_EQ(f.w.security().DescriptorOf(folder).dacl, folderDacl) << "the folder itself is not repaired";

  // It is listed in the view it was tested in: the native folder, reached
  // through Sysnative, not what the 32-bit view of System32 shows there.
  FakeSession g;
  g.w.wow64 = true;
  const std::wstring native = L"C:\\Windows\\Sysnative\\corvexdir";
  Component::AddFile(g, native + L"\\a.dll");
  g.w.AddFile(L"C:\\Windows\\System32\\corvexdir\\x86only.dll", "MZ");
  Component::AddManifest(g, Component::Entries({L"a.dll"}));
  EXPECT_EQ(Ran(Repair, g, {folder}), Component::Repaired(L"a.dll", native + L"\\a.dll"));
  EXPECT_EQ(g.w.security().DescriptorOf(native + L"\\a.dll").dacl, kManifestDacl);
}

TEST(RepairPermissions, ManifestAndLinkFailures) {
  struct Case {
    std::wstring files;
    std::wstring definition;
    std::wstring sentence;
  };
  const std::wstring damage = L" for file " + kFile + L". There may be manifest damage.\r\n";
  const std::wstring name = L"Failed to identify file name in manifest" + damage;
  const std::wstring descriptorName = L"Failed to identify security descriptor name" + damage;
  const std::wstring other = Component::Entries({L"other.dll"});
  const std::vector<Case> cases = {
      {other, L"WRP_FILE_DEFAULT_SDDL", name},
      {Component::Entries({L"CorvexDemo.dll"}), L"WRP_FILE_DEFAULT_SDDL", name},
      // No descriptor in the file's own entry: the next file's is not taken.
      {Component::FileEntry(L"corvexdemo.dll", L"") + other, L"WRP_FILE_DEFAULT_SDDL", descriptorName},
      {L"<file name=\"corvexdemo.dll\" sourceName=\"corvexdemo.dll\" />" + other, L"WRP_FILE_DEFAULT_SDDL",
       descriptorName},
      {Component::Entries({L"corvexdemo.dll"}), L"SOMETHING_ELSE", L"Failed to identify security descriptor" + damage},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.files));
    FakeSession f;
    Component::AddFile(f, kFile);
    Component::AddManifest(f, c.files, c.definition);
    EXPECT_EQ(Ran(Repair, f, {kFile}, false), c.sentence);
    EXPECT_EQ(f.w.security().DescriptorOf(kFile).dacl, L"D:(A;;FA;;;BU)");
    EXPECT_FALSE(f.w.Exists(kStorePath));
  }

  FakeSession f;
  f.w.AddFile(L"C:\\Windows\\System32\\plain.dll", "x");
  Component::AddFile(f, kFile);
  EXPECT_EQ(Ran(Repair, f, {L"C:\\Windows\\System32\\plain.dll", L"C:\\none.dll", kFile}, false),
            L"Failed to identify winsxs copy for file C:\\Windows\\System32\\plain.dll. There may be file or hardlink "
            L"damage.\r\n"
            L"Failed to identify winsxs copy for file C:\\none.dll. There may be file or hardlink damage.\r\n" + name)
      << "a missing manifest names no file";
}

}  // namespace
}  // namespace corvex
