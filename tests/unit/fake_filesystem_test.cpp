// What the fake Windows does that the real one cannot be made to show on
// demand (failed and interrupted writes, crash points) or that Wine does
// not keep (DACLs on reads, deletes, moves and new objects), and the path
// forms a test machine has no share for.
#include "platform/fake/fake_windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake/fake_security.h"

namespace corvex {
namespace {

using fake::FakeWindows;
using fake::Op;
using fake::SimulatedCrash;
using fake::WriteFault;
namespace access = platform::access;
namespace share = platform::share;

const std::wstring kDir = L"C:\\data";
const std::wstring kFile = L"C:\\data\\f.txt";

struct Fixture {
  FakeWindows w;
  platform::FileSystem& fs = w.platform().fs;
  Fixture() { w.AddFile(kFile, "old content"); }
};

TEST(FakeFaults, WritesFailPartWayAndLeaveWhatLanded) {
  struct Case {
    const char* what;
    bool append;
    size_t keep;
    std::string left;
  };
  const Case cases[] = {
      {"rewrite truncated, then failed", false, 0, ""},
      {"rewrite failed after 3 bytes", false, 3, "new"},
      {"append failed after 2 bytes", true, 2, "old content+m"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f;
    f.w.InjectWriteFault(WriteFault::kFailAfter, L"f.txt", c.keep, 112);
    EXPECT_EQ(f.fs.WriteFile(kFile, c.append ? "+more" : "new content", c.append).code(), 112u);
    EXPECT_EQ(f.w.FileBytes(kFile), c.left);
    EXPECT_TRUE(f.fs.WriteFile(kFile, "again", false)) << "the fault fires once";
  }
}

TEST(FakeFaults, ACrashStopsTheProcessWhereverTheTestPutIt) {
  Fixture f;
  f.w.InjectWriteFault(WriteFault::kCrashAfter, L"f.txt", 4, 0, 1);
  ASSERT_TRUE(f.fs.WriteFile(kFile, "first", false)) << "skip lets one write through";
  try {
    f.fs.WriteFile(kFile, "second write", false);
    ADD_FAILURE() << "no crash";
  } catch (const SimulatedCrash& crash) {
    EXPECT_EQ(crash.op, Op::kWriteFile);
  }
  EXPECT_EQ(f.w.FileBytes(kFile), "seco");

  // Counting crash points up visits every step of a sequence once.
  auto steps = [](FakeWindows& w) {
    auto& fs = w.platform().fs;
    fs.WriteFile(L"C:\\data\\a", "a", false);
    fs.CopyFile(L"C:\\data\\a", L"C:\\data\\b", false);
    fs.DeleteFile(L"C:\\data\\a");
  };
  std::vector<std::vector<bool>> seen;
  for (int k = 0;; ++k) {
    Fixture h2;
    h2.w.InjectCrash(Op::kAny, L"", k);
    try {
      steps(h2.w);
      break;
    } catch (const SimulatedCrash&) {
    }
    seen.push_back({h2.w.Exists(L"C:\\data\\a"), h2.w.Exists(L"C:\\data\\b")});
  }
  EXPECT_EQ(seen, (std::vector<std::vector<bool>>{{false, false}, {true, false}, {true, true}}));
}

TEST(FakePaths, DotsStayInsideTheShareOrDriveAndInvalidNamesAreRefused) {
  Fixture f;
  ASSERT_TRUE(f.fs.WriteFile(L"\\\\srv\\share\\x.txt", "unc", false));
  EXPECT_EQ(f.fs.ReadFile(L"\\\\srv\\share\\..\\..\\x.txt").value_or(""), "unc");
  EXPECT_EQ(f.fs.ReadFile(L"C:\\..\\..\\data\\f.txt").value_or(""), "old content");
  EXPECT_EQ(f.fs.WriteFile(L"C:\\data\\bad|name", "x", false).code(), 123u);
  EXPECT_EQ(f.fs.WriteFile(L"\\\\?\\C:\\data\\\\twice", "x", false).code(), 123u);
}

// The DACL decides reads, deletes and moves, as it decides writes.
TEST(FakeSecurityChecks, ReadsDeletesAndMovesNeedTheirRights) {
  struct Case {
    const char* what;
    const wchar_t* fileDacl;
    const wchar_t* folderDacl;
    bool read, remove;
  };
  const Case cases[] = {
      {"full control", L"D:(A;;FA;;;BA)", L"D:(A;;FA;;;BA)", true, true},
      {"read and execute only", L"D:(A;;0x1200a9;;;BA)", L"D:(A;;0x1200a9;;;BA)", true, false},
      {"DELETE on the file", L"D:(A;;0x10000;;;BA)", L"D:(A;;0x1200a9;;;BA)", false, true},
      {"FILE_DELETE_CHILD on the folder", L"D:(A;;0x1200a9;;;BA)", L"D:(A;;0x1200e9;;;BA)", true, true},
      {"read denied to Everyone", L"D:(D;;FR;;;WD)(A;;FA;;;BA)", L"D:(A;;FA;;;BA)", false, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool move : {false, true}) {
      Fixture f;
      f.w.AddFolder(L"C:\\open");
      f.w.security().SetDescriptor(kFile, L"BA", c.fileDacl);
      f.w.security().SetDescriptor(kDir, L"BA", c.folderDacl);
      EXPECT_EQ(f.fs.ReadFile(kFile).ok(), c.read);
      EXPECT_EQ(f.fs.CopyFile(kFile, L"C:\\open\\copy", false).ok(), c.read);
      EXPECT_EQ(f.fs.Open(kFile, access::kRead, share::kAll, platform::Disposition::kOpenExisting).ok(), c.read);
      // Both take the name out of the folder: DELETE on the file, or
      // FILE_DELETE_CHILD on the folder.
      auto done = move ? f.fs.MoveFile(kFile, L"C:\\open\\moved", false) : f.fs.DeleteFile(kFile);
      EXPECT_EQ(done.code(), c.remove ? 0u : 5u);
      EXPECT_EQ(f.w.Exists(kFile), !c.remove);
    }
  }
  // A folder lets in what it grants FILE_ADD_FILE or FILE_ADD_SUBDIRECTORY
  // for, whether moved, written or made there; a folder that may not be
  // listed cannot be searched.
  Fixture g;
  g.w.AddFolder(L"C:\\closed");
  g.w.security().SetDescriptor(L"C:\\closed", L"BA", L"D:(A;;0x1200a8;;;BA)");
  EXPECT_EQ(g.fs.MoveFile(kFile, L"C:\\closed\\f.txt", false).code(), 5u);
  EXPECT_EQ(g.fs.WriteFile(L"C:\\closed\\new.txt", "x", false).code(), 5u);
  EXPECT_EQ(g.fs.CreateFolder(L"C:\\closed\\sub").code(), 5u);
  EXPECT_EQ(g.fs.Find(L"C:\\closed\\*").code(), 5u);
  EXPECT_EQ(g.w.FileBytes(kFile), "old content");
}

TEST(FakeSecurityChecks, NewObjectsTakeWhatTheirFolderPassesOn) {
  Fixture f;
  f.w.security().SetDescriptor(kDir, L"BA",
                               L"D:P(A;OICI;FA;;;BA)(A;CI;0x1200a9;;;BU)(A;OICINP;FR;;;WD)(A;OICIIO;GA;;;CO)");
  ASSERT_TRUE(f.fs.WriteFile(L"C:\\data\\new.txt", "n", false));
  ASSERT_TRUE(f.fs.CreateFolder(L"C:\\data\\sub"));
  ASSERT_TRUE(f.fs.CopyFile(kFile, L"C:\\data\\sub\\copy.txt", false));
  EXPECT_EQ(f.w.security().DescriptorOf(L"C:\\data\\new.txt").dacl,
            L"D:AI(A;ID;FA;;;BA)(A;ID;FR;;;WD)");
  // CREATOR OWNER splits into an entry for the owner and one passed on.
  EXPECT_EQ(f.w.security().DescriptorOf(L"C:\\data\\sub").dacl,
            L"D:AI(A;OICIID;FA;;;BA)(A;CIID;0x1200a9;;;BU)(A;ID;FR;;;WD)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;CO)");
  EXPECT_EQ(f.w.security().DescriptorOf(L"C:\\data\\sub\\copy.txt").dacl, L"D:AI(A;ID;FA;;;BA)");
  // A move keeps the descriptor it had.
  f.w.AddFolder(L"C:\\other");
  const std::wstring before = f.w.security().DescriptorOf(L"C:\\data\\new.txt").dacl;
  ASSERT_TRUE(f.fs.MoveFile(L"C:\\data\\new.txt", L"C:\\other\\new.txt", false));
  EXPECT_EQ(f.w.security().DescriptorOf(L"C:\\other\\new.txt").dacl, before);
}

// The package workers call the file system from several threads at once;
// its lock must cover every change of the tree.
TEST(FakeFileSystemThreads, ConcurrentWritersLoseNothing) {
  FakeWindows w;
  w.AddFolder(L"C:\\t");
  auto& fs = w.platform().fs;
  constexpr int kEach = 3000;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&fs, &ready, t] {
      // All three start together, so their calls overlap.
      ready++;
      while (ready.load() < 3) std::this_thread::yield();
      for (int i = 0; i < kEach; ++i) {
        std::wstring dir = L"C:\\t\\" + std::to_wstring(t) + L"_" + std::to_wstring(i);
        fs.CreateFolder(dir);
        fs.WriteFile(dir + L"\\f", std::to_string(i), false);
        if (i % 50 == 0) fs.Find(L"C:\\t\\*.*");
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(w.ListTree(L"C:\\t").size(), 3u * kEach * 2u);
  EXPECT_EQ(w.FileBytes(L"C:\\t\\2_2999\\f"), "2999");
}

}  // namespace
}  // namespace corvex
