#ifdef _WIN32

#include <gtest/gtest.h>

#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/win32_platform.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

// True while `h` still names an open handle of this process.
bool IsOpen(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != 0;
}

HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

TEST(Win32Handles, ClosingKeepsTheLastError) {
  HANDLE raw = NewEvent();
  ASSERT_NE(raw, nullptr);
  {
    unique_handle h(raw);
    SetLastError(1234);
  }
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_FALSE(IsOpen(raw));
}

TEST(Win32Handles, MovingHandsOverOwnershipOnce) {
  HANDLE raw = NewEvent();
  ASSERT_NE(raw, nullptr);
  unique_handle a(raw);
  unique_handle b(std::move(a));
  EXPECT_FALSE(a.valid());
  EXPECT_EQ(b.get(), raw);
  unique_handle c;
  c = std::move(b);
  EXPECT_FALSE(b.valid());
  EXPECT_TRUE(IsOpen(raw));
  c.reset();
  EXPECT_FALSE(IsOpen(raw));
}

TEST(Win32Handles, AssigningOverAHeldHandleClosesIt) {
  HANDLE first = NewEvent(), second = NewEvent();
  ASSERT_TRUE(first && second);
  unique_handle a(first);
  a = unique_handle(second);
  EXPECT_FALSE(IsOpen(first));
  EXPECT_TRUE(IsOpen(second));
}

TEST(Win32Handles, ReleaseGivesUpOwnershipWithoutClosing) {
  HANDLE raw = NewEvent();
  ASSERT_NE(raw, nullptr);
  {
    unique_handle h(raw);
    EXPECT_EQ(h.release(), raw);
  }
  EXPECT_TRUE(IsOpen(raw));
  CloseHandle(raw);
}

TEST(Win32Handles, EachKindKnowsItsOwnInvalidValue) {
  EXPECT_FALSE(unique_hfile(INVALID_HANDLE_VALUE).valid());
  EXPECT_FALSE(unique_find(INVALID_HANDLE_VALUE).valid());
  EXPECT_FALSE(unique_handle(nullptr).valid());
  EXPECT_FALSE(unique_hkey(nullptr).valid());
  EXPECT_FALSE(unique_hfile().valid());
  EXPECT_FALSE(unique_find().valid());
}

TEST(Win32PlatformTest, EveryPartIsTheRealWindows) {
  testing::TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  Win32Platform w;
  platform::Platform& p = w.platform();
  ASSERT_TRUE(p.fs.WriteFile(tmp / L"p.txt", "abc", false).ok());
  EXPECT_EQ(testing::RawRead(tmp / L"p.txt"), "abc");
  auto digest = p.hasher.Sha256File(tmp / L"p.txt");
  ASSERT_TRUE(digest.ok());
  EXPECT_EQ(testing::Hex(*digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  SetEnvironmentVariableW(L"CORVEX_PLATFORM_TEST", L"seen");
  EXPECT_EQ(p.env.Expand(L"%CORVEX_PLATFORM_TEST%"), L"seen");
  SetEnvironmentVariableW(L"CORVEX_PLATFORM_TEST", nullptr);
  EXPECT_GE(p.system.Version().value().major, 6u);
  // Nothing to start is a failed start, not a crash.
  EXPECT_FALSE(p.processes.Run({}).ok());
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
