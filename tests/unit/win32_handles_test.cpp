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

TEST(Win32Handles, OwnershipMovesOnceAndAssigningOverAHeldHandleClosesIt) {
  HANDLE raw = NewEvent(), other = NewEvent(), kept = NewEvent();
  ASSERT_TRUE(raw && other && kept);
  unique_handle a(raw);
  unique_handle b(std::move(a));
  EXPECT_FALSE(a.valid());
  EXPECT_EQ(b.get(), raw);
  unique_handle c(other);
  c = std::move(b);
  EXPECT_FALSE(b.valid());
  EXPECT_FALSE(IsOpen(other));
  EXPECT_TRUE(IsOpen(raw));
  c.reset();
  EXPECT_FALSE(IsOpen(raw));
  {
    unique_handle h(kept);
    EXPECT_EQ(h.release(), kept);
  }
  EXPECT_TRUE(IsOpen(kept)) << "a released handle is not closed";
  CloseHandle(kept);
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
  EXPECT_TRUE(p.hasher.Sha256File(tmp / L"p.txt").ok());
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
