#include "core/session_log.h"

#include <gtest/gtest.h>

#include "core/console_output.h"
#include "core/text_file.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

TEST(ConsoleOutput, HoldKeepsTextUntilFlushedAndMirrorShowsAndKeeps) {
  FakeSession f;
  f.s.hold = true;
  Print(f.s, L"one ");
  EXPECT_EQ(f.w.ConsoleText(), L"");
  FlushTranscript(f.s, false);
  Print(f.s, L"two ");
  EXPECT_TRUE(f.s.transcript.empty()) << "flushed, and with no flag set nothing is recorded";

  f.s.mirror = true;
  Print(f.s, L"three");
  RedrawFromTranscript(f.s);
  EXPECT_EQ(f.w.ConsoleText(), L"one two three<clear>three");
  EXPECT_TRUE(f.s.mirror);
  EXPECT_EQ(f.s.transcript, L"three");
}

TEST(ConsoleOutput, ProgressBar) {
  FakeSession f;
  ShowProgress(f.s, 30, 60);
  ShowProgress(f.s, 4e9, 1);         // the bar stays 60 cells wide
  ShowProgress(f.s, 1e300, 1e-300);  // an endless fraction counts as 0
  EXPECT_EQ(f.w.ConsoleText(), L"\r  50% [" + std::wstring(29, L'=') + L">" + std::wstring(30, L' ') + L"] " +
                                   L"\r 400000000000% [" + std::wstring(59, L'=') + L">] " +
                                   L"\r   0% [>" + std::wstring(59, L' ') + L"] ");
}

TEST(WriteTextFile, EachEncodingAndMode) {
  FakeSession f;
  ASSERT_TRUE(WriteTextFile(f.s, L"%UserProfile%\\a.txt", L"x\r\n").ok());
  ASSERT_TRUE(WriteTextFile(f.s, L"C:\\Users\\Tester\\a.txt", L"y", TextEncoding::kUtf16, WriteMode::kAppend).ok());
  EXPECT_EQ(f.w.FileBytes(L"C:\\Users\\Tester\\a.txt"), std::string("\xFF\xFEx\0\r\0\n\0y\0", 10));
  f.w.AddFile(L"C:\\empty.txt", "");
  ASSERT_TRUE(WriteTextFile(f.s, L"C:\\empty.txt", L"z", TextEncoding::kUtf16, WriteMode::kAppend).ok());
  EXPECT_EQ(f.w.FileBytes(L"C:\\empty.txt"), std::string("\xFF\xFEz\0", 4)) << "an empty file gets the mark";
  ASSERT_TRUE(WriteTextFile(f.s, L"C:\\list", L"ab", TextEncoding::kEightBit, WriteMode::kAppend).ok());
  ASSERT_TRUE(WriteTextFile(f.s, L"C:\\list", L"c\u00e9\u4e2d", TextEncoding::kEightBit, WriteMode::kAppend).ok());
  EXPECT_EQ(f.w.FileBytes(L"C:\\list"), "abc\xE9?");
  ASSERT_TRUE(WriteTextFile(f.s, L"C:\\raw", L"ab", TextEncoding::kRawUtf16).ok());
  EXPECT_EQ(f.w.FileBytes(L"C:\\raw"), std::string("a\0b\0", 4));
  f.w.InjectFault(fake::Op::kWriteFile, L"a.txt", 32);
  EXPECT_EQ(WriteTextFile(f.s, L"C:\\a.txt", L"x").code(), 32u) << "a failure carries its code";
}

TEST(WriteTextFile, AppendingNeverStartsAFileItCannotReadAfresh) {
  // Both appends used to read the file first and, when that failed, write
  // the new text over everything it held.
  for (TextEncoding encoding : {TextEncoding::kUtf16, TextEncoding::kEightBit}) {
    FakeSession f;
    const std::string before = encoding == TextEncoding::kUtf16 ? testing::Utf16Bom(L"old") : "old";
    f.w.AddFile(L"C:\\list", before);
    f.w.InjectFault(fake::Op::kOpenFile, L"C:\\list", 32, 5);
    f.w.InjectFault(fake::Op::kReadFile, L"C:\\list", 32, 5);
    auto st = WriteTextFile(f.s, L"C:\\list", L"new", encoding, WriteMode::kAppend);
    const std::string after = f.w.FileBytes(L"C:\\list");
    if (st.ok())
      EXPECT_EQ(after, before + (encoding == TextEncoding::kUtf16 ? ToUtf16Le(L"new") : "new"));
    else
      EXPECT_EQ(after, before);
  }
}

}  // namespace
}  // namespace corvex
