#ifdef _WIN32

#include <gtest/gtest.h>

#include "platform/win32/win32_backend.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

class Win32EnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override { SetEnvironmentVariableW(L"CORVEX_TEST_VALUE", L"abcd"); }
  void TearDown() override { SetEnvironmentVariableW(L"CORVEX_TEST_VALUE", nullptr); }
  Win32Environment env;
};

TEST_F(Win32EnvironmentTest, ExpandsVariablesAndLeavesUnknownOnesAlone) {
  EXPECT_EQ(env.Expand(L"[%CORVEX_TEST_VALUE%]"), L"[abcd]");
  EXPECT_EQ(env.Expand(L"%corvex_test_value%%CORVEX_TEST_VALUE%"), L"abcdabcd");
  EXPECT_EQ(env.Expand(L"%CORVEX_NO_SUCH_NAME%\\x"), L"%CORVEX_NO_SUCH_NAME%\\x");
  EXPECT_EQ(env.Expand(L""), L"");
  // Expansions longer than the first buffer come back whole.
  // "abcd" and its terminating NUL need five characters; fewer means a retry.
  for (size_t capacity : {5, 4, 1, 0}) EXPECT_EQ(env.Expand(L"%CORVEX_TEST_VALUE%", capacity), L"abcd") << capacity;
  std::wstring longText(600, L'x');
  EXPECT_EQ(env.Expand(longText + L"%CORVEX_TEST_VALUE%"), longText + L"abcd");
  // A value longer than the first buffer, reached through a short text.
  std::wstring longValue(2000, L'v');
  SetEnvironmentVariableW(L"CORVEX_TEST_LONG", longValue.c_str());
  EXPECT_EQ(env.Expand(L"%CORVEX_TEST_LONG%\\x"), longValue + L"\\x");
  SetEnvironmentVariableW(L"CORVEX_TEST_LONG", nullptr);
}

TEST_F(Win32EnvironmentTest, ModuleFileNameIsThisProgram) {
  auto found = env.ModuleFileName();
  ASSERT_TRUE(found.ok()) << found.code();
  std::wstring path = *found;
  ASSERT_GT(path.size(), 16u);
  EXPECT_EQ(CompareStringOrdinal(path.substr(path.size() - 16).c_str(), -1, L"corvex_tests.exe", -1, TRUE),
            CSTR_EQUAL);
  EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  // A buffer too small for the name grows until it fits; nothing is cut.
  for (size_t first : {size_t{1}, size_t{8}, size_t{16}, path.size(), path.size() + 1}) {
    auto grown = ModulePath(nullptr, first);
    ASSERT_TRUE(grown.ok()) << first;
    EXPECT_EQ(*grown, path) << first;
  }
  EXPECT_EQ(ModulePath(reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10)), 64).code(),
            static_cast<uint32_t>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Win32EnvironmentTest, FileVersionReadsTheFixedVersionInOrderOrFails) {
  // The test program carries version 4.3.2.1.
  auto version = env.FileVersion(env.ModuleFileName().value());
  ASSERT_TRUE(version.ok()) << version.code();
  EXPECT_EQ(*version, (std::array<uint16_t, 4>{4, 3, 2, 1}));
  testing::TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  ASSERT_TRUE(testing::RawWrite(tmp / L"plain.txt", "no version here"));
  for (const wchar_t* leaf : {L"plain.txt", L"missing.dll"}) {
    auto failed = env.FileVersion(tmp / leaf);
    EXPECT_FALSE(failed.ok()) << leaf;
    EXPECT_NE(failed.code(), 0u) << leaf;
  }
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
