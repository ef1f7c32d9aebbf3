#include "fs/locked_copy.h"

#include <gtest/gtest.h>

#include "app/entry.h"
#include "fs/shadow_directives.h"
#include "platform/fake/fake_shadow_copies.h"
#include "component_store_fixture.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;

const std::wstring kSource = L"C:\\Windows\\System32\\locked.dll";
const std::wstring kTarget = L"C:\\Fix\\locked.dll";
const std::wstring kList = L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\ShadowCopies";

struct Locked {
  FakeSession f;
  std::shared_ptr<void> held;
  explicit Locked(bool wow64) {
    f.w.wow64 = wow64;
    f.w.AddFile(kSource, "good bytes");
    held = f.w.HoldOpen(kSource, 0x80000000, 0);
  }
  std::wstring Run(bool ok) {
    return testing::Ran(CopyLockedFileDirective, f, {L"\"" + kSource + L"\" " + kTarget}, ok);
  }
  bool NothingLeft() { return f.w.shadows().made.empty() && f.w.shadowCopies.empty() && !f.w.Exists(kList); }
};

TEST(LockedCopy, EachLocationOnBothRoutesFailsWithItsTextAndLeavesNoSnapshot) {
  // Each route's locations in the seam, and its failures' prefix.
  for (auto [wow64, seamLocations, prefix] : {std::tuple{true, 7, L"64bit "}, {false, 13, L""}}) {
    // One more location: the copy out of the snapshot.
    for (int loc = 0; loc <= seamLocations; ++loc) {
      Locked x(wow64);
      if (loc < seamLocations)
        x.f.w.InjectFault(Op::kShadowCreate, L"loc" + std::to_wstring(loc) + L".", 0x80042306);
      else
        x.f.w.InjectFault(Op::kCopyFile, L"HarddiskVolumeShadowCopy", 5);
      const std::wstring code = loc < seamLocations ? L"0x80042306" : L"ERROR_ACCESS_DENIED";
      EXPECT_EQ(x.Run(false), L"Failed to copy locked file " + kSource + L" to " + kTarget + L".\r\n" + prefix +
                                  L"CopyLockedFile:: failed in location " + std::to_wstring(loc) +
                                  L" with error code " + code + L".\r\n")
          << loc;
      EXPECT_TRUE(x.NothingLeft()) << wow64 << " " << loc;
      EXPECT_FALSE(x.f.w.Exists(kTarget));
    }
  }
}

TEST(LockedCopy, LockedSourceIsCopiedThroughTheSnapshotOnBothRoutes) {
  for (bool wow64 : {true, false}) {
    Locked x(wow64);
    x.f.w.AddShadowCopy(3);  // an older copy: the new one is numbered after it
    EXPECT_EQ(x.Run(true), L"Successfully copied locked file " + kSource + L" to " + kTarget + L".\r\n");
    EXPECT_EQ(x.f.w.FileBytes(kTarget), "good bytes");
    EXPECT_EQ(x.f.w.shadows().created, 1);
    EXPECT_TRUE(x.f.w.shadows().made.empty());
    EXPECT_EQ(x.f.w.shadowCopies, std::set<uint32_t>{3});
    EXPECT_FALSE(x.f.w.Exists(kList));
    // The 64-bit route deletes through the native vssadmin.
    Lines vssadmin;
    for (const auto& p : x.f.w.processesRun)
      if (p.program == L"C:\\Windows\\Sysnative\\vssadmin.exe") vssadmin.push_back(p.commandLine);
    EXPECT_EQ(vssadmin, wow64 ? Lines{L" Delete Shadows /Quiet /Shadow={00000000-0000-0000-0000-000000000004}"}
                              : Lines{});
  }
}

// A snapshot whose deletion failed, or was cut short by a crash, is deleted
// at the next start.
TEST(LockedCopy, ASnapshotLeftByAFailedDeletionOrACrashGoesAtTheNextStart) {
  for (bool wow64 : {true, false}) {
    Locked x(wow64);
    x.f.w.InjectFault(Op::kShadowDelete, L"", 5);
    EXPECT_EQ(x.Run(true), L"Successfully copied locked file " + kSource + L" to " + kTarget +
                               L".\r\nWARNING: Failed to delete shadow copy {00000000-0000-0000-0000-000000000001} "
                               L"with error code ERROR_ACCESS_DENIED.\r\n");
    EXPECT_EQ(x.f.Utf16File(kList), L"{00000000-0000-0000-0000-000000000001}\r\n");
    Session next{x.f.w.platform()};
    DeleteLeftShadowCopies(next);
    EXPECT_TRUE(x.NothingLeft()) << wow64;

    Locked y(wow64);
    y.f.w.AddFile(L"C:\\s.txt", "CopyLockedFile::\r\n\"" + ToUtf8(kSource) + "\" " + ToUtf8(kTarget) + "\r\n");
    y.f.w.InjectCrash(wow64 ? Op::kRunProcess : Op::kShadowDelete, wow64 ? L"vssadmin" : L"");
    EXPECT_THROW(RunProgram(y.f.s, {testing::kExe, L"C:\\s.txt"}), fake::SimulatedCrash);
    EXPECT_EQ(y.f.w.shadows().made.size(), 1u);
    EXPECT_EQ(y.f.w.FileBytes(kTarget), "good bytes");
    y.held.reset();
    y.f.w.AddFile(L"C:\\s.txt", "Debug::\r\nNo cbs\r\n");
    Session after{y.f.w.platform()};
    EXPECT_EQ(RunProgram(after, {testing::kExe, L"C:\\s.txt"}), 0);
    EXPECT_TRUE(y.NothingLeft()) << wow64;
  }
}

TEST(LockedCopy, PathsAndIdsAreTakenInTheirRealFormAndOthersRefused) {
  Locked x(true);
  // The snapshot has no Sysnative alias: the file is read at System32.
  Ran(CopyLockedFileDirective, x.f, {L"C:\\Windows\\Sysnative\\locked.dll " + kTarget});
  EXPECT_EQ(x.f.w.FileBytes(kTarget), "good bytes");
  EXPECT_EQ(Ran(CopyLockedFileDirective, x.f, {L"\\\\server\\share\\locked.dll " + kTarget}, false),
            L"Failed to copy locked file \\\\server\\share\\locked.dll to " + kTarget +
                L".\r\n64bit CopyLockedFile:: failed in location 0 with error code ERROR_INVALID_NAME.\r\n");
  EXPECT_EQ(x.f.w.shadows().created, 1);
  // A refused Create says what the method returned.
  x.f.w.AddFile(L"D:\\d.dll", "d");
  auto result = CopyLockedFile(x.f.s, L"\\\\?\\D:\\d.dll", L"\\\\?\\C:\\d.dll", false);
  EXPECT_EQ(result.failure,
            L"64bit CopyLockedFile:: failed in location 5 with error code 0x80041008 and return value 3");

  // Malformed IDs in the list of snapshots left are dropped, not run.
  FakeSession g;
  g.w.wow64 = true;
  g.w.AddFile(kList, testing::Utf16Bom(L"{1} & calc\r\n\r\n"));
  DeleteLeftShadowCopies(g.s);
  EXPECT_TRUE(g.w.processesRun.empty());
  EXPECT_FALSE(g.w.Exists(kList));
}

// A store with two files and the manifest digests of their good bytes.
struct VssStore {
  FakeSession f;
  std::wstring a, b;  // "Windows\winsxs\<folder>\<file>"
  VssStore() {
    testing::StoreBuilder store(f.w);
    testing::StoreComponent c;
    const std::wstring folder = store.Add(c, {{L"a.dll", "good a"}, {L"b.dll", "good b"}});
    a = folder.substr(3) + L"\\a.dll";
    b = folder.substr(3) + L"\\b.dll";
  }
  void Put(uint32_t copy, const std::wstring& line, const std::string& bytes) {
    f.w.AddFile(fake::FakeWindows::ShadowCopyRoot(copy) + L"\\" + line, bytes);
  }
  std::wstring Run(Lines lines, bool expectOk) { return testing::Ran(VssDirective, f, std::move(lines), expectOk); }
  static std::wstring Found(uint32_t copy, const std::wstring& line, const std::string& bytes) {
    return fake::FakeWindows::ShadowCopyRoot(copy) + L"\\" + line + L"\r\nFound: " + testing::Base64Digest(bytes) +
           L"\r\n\r\n";
  }
};

// Without any copy: the end-to-end case of VSS:: without shadow copies.
TEST(Vss, WalksTheCopiesThatExistSeeksAFoundFileNoFurtherAndMatchesOnlyKnownDigests) {
  VssStore x;
  for (uint32_t n : {1u, 2u, 4u}) x.f.w.AddShadowCopy(n);
  x.Put(1, x.a, "bad a");
  x.Put(2, x.a, "good a");
  x.Put(4, x.a, "good a");
  x.Put(4, x.b, "good b");
  x.f.w.InjectFault(Op::kHashFile, L"HarddiskVolumeShadowCopy4\\" + x.a, 5);  // would be spent if sought again
  EXPECT_EQ(x.Run({x.a, x.b}, true), VssStore::Found(2, x.a, "good a") + VssStore::Found(4, x.b, "good b"));
  EXPECT_EQ(x.f.w.PendingFaults(), 1u);

  // Unknown digests, failed hashes and bad lines never match.
  VssStore y;
  y.f.w.AddShadowCopy(1);
  y.Put(1, y.a, "good a");
  y.Put(1, y.b, "good b");
  const std::wstring noManifest = L"Windows\\winsxs\\x86_gone_1\\c.dll";
  y.Put(1, noManifest, "c");
  y.f.w.InjectFault(Op::kHashFile, L"HarddiskVolumeShadowCopy1\\" + y.b, 5);
  EXPECT_EQ(y.Run({y.a, y.b, noManifest, L"Windows\\winsxs\\..\\a.dll", L"C:\\Windows\\a.dll",
                   L"Windows\\\\a.dll"},
                  false),
            L"Refused line Windows\\winsxs\\..\\a.dll: it must be a path relative to the volume root.\r\n"
            L"Refused line C:\\Windows\\a.dll: it must be a path relative to the volume root.\r\n"
            L"Refused line Windows\\\\a.dll: it must be a path relative to the volume root.\r\n" +
                VssStore::Found(1, y.a, "good a") + L"Not found: " + y.b + L"\r\nNot found: " + noManifest +
                L"\r\n");
}

}  // namespace
}  // namespace corvex
