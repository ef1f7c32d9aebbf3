#ifdef _WIN32

#include <gtest/gtest.h>

#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

using testing::RawRead;
using testing::RawWrite;
using testing::TempFolder;

class Win32ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tmp.ok()); }
  TempFolder tmp;
};

TEST_F(Win32ConsoleTest, RedirectedOutputIsWrittenAsUtf8AndLargeWritesArriveWhole) {
  std::wstring file = tmp / L"out.txt";
  std::wstring big;
  for (int i = 0; i < 40000; ++i) big += static_cast<wchar_t>(L'a' + i % 26);
  {
    unique_hfile out(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(out);
    Win32Console console(out.get(), nullptr);
    EXPECT_FALSE(console.IsRealConsole());
    console.Write(big + L"\u00e9");
    // U+00FC, U+00DF, U+20AC and U+1D11E (a surrogate pair in UTF-16).
    console.Write(L"Gr\u00fc\u00dfe \u20ac ");
    console.Write(L"\xD834\xDD1E\r\n");
    console.Clear();  // nothing on a redirected stream
    console.Write(L"end");
    console.Flush();
  }
  std::string bytes = RawRead(file);
  ASSERT_EQ(bytes.size(), 40002u + 21u);
  EXPECT_EQ(bytes.substr(0, 3), "abc");
  EXPECT_EQ(bytes.substr(40000), "\xC3\xA9Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9D\x84\x9E\r\nend");
}

TEST_F(Win32ConsoleTest, KeysAreBytesOfInputWithLineFeedAsEnterAndEveryEndAsEnter) {
  std::wstring file = tmp / L"keys.txt";
  ASSERT_TRUE(RawWrite(file, "y\nZ\r\xE9"));
  unique_hfile in(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(in);
  Win32Console console(INVALID_HANDLE_VALUE, in.get());
  // High bytes come back as their character code; past the end: Enter,
  // every time, without blocking.
  for (wchar_t key : {L'y', L'\r', L'Z', L'\r', static_cast<wchar_t>(0xE9), L'\r', L'\r'})
    EXPECT_EQ(console.ReadKey(), key);

  // So does a closed pipe, or no input handle at all.
  unique_handle readEnd, writeEnd;
  ASSERT_TRUE(CreatePipe(readEnd.put(), writeEnd.put(), nullptr, 0));
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(writeEnd.get(), "q", 1, &written, nullptr));
  writeEnd.reset();
  Win32Console piped(INVALID_HANDLE_VALUE, readEnd.get());
  EXPECT_EQ(piped.ReadKey(), L'q');
  EXPECT_EQ(piped.ReadKey(), L'\r');

  Win32Console none(nullptr, nullptr);
  EXPECT_EQ(none.ReadKey(), L'\r');
  Win32Console invalid(INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE);
  EXPECT_EQ(invalid.ReadKey(), L'\r');
  // Writing without an output handle is a quiet no-op.
  invalid.Write(L"nowhere");
  invalid.Clear();
  invalid.FixSize80x25();
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
