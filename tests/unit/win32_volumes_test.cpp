#ifdef _WIN32

#include <gtest/gtest.h>

#include "platform/win32/win32_backend.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

TEST(Win32Volumes, DriveTypesAndTheShadowCopiesThatExist) {
  Win32SystemInfo sys;
  // The system drive is fixed; a letter without a drive has no root.
  EXPECT_EQ(sys.DriveType(L'C'), platform::DriveKind::kFixed);
  wchar_t unused = 0;
  for (wchar_t d = L'Y'; d > L'C' && !unused; --d) {
    if (!(GetLogicalDrives() & (1u << (d - L'A')))) unused = d;
  }
  if (unused) {
    EXPECT_EQ(sys.DriveType(unused), platform::DriveKind::kNoRoot);
  }
  // The \Device folder can be listed; the numbers come sorted, each once.
  // Wine cannot list it (error 1): the analysis then traces the failure
  // and has no shadow copies to search, as Wine has none.
  auto numbers = sys.ShadowCopyNumbers();
  if (testing::UnderWine() && !numbers.ok()) {
    EXPECT_EQ(numbers.code(), 1u);
    return;
  }
  ASSERT_TRUE(numbers.ok()) << numbers.code();
  for (size_t i = 1; i < numbers->size(); ++i) EXPECT_LT((*numbers)[i - 1], (*numbers)[i]);
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
