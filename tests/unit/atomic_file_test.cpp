#include "core/atomic_file.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_windows.h"

namespace corvex {
namespace {

using fake::Op;

const std::wstring kTarget = L"C:\\data\\store";
const std::wstring kTemporary = L"C:\\data\\store.new";

TEST(ReplaceFileContents, ReplacesOrCreatesAndLeavesNoTemporaryFile) {
  fake::FakeWindows w;
  w.AddFolder(L"C:\\data");
  auto& fs = w.platform().fs;
  ASSERT_TRUE(ReplaceFileContents(fs, kTarget, "first").ok());
  EXPECT_EQ(w.FileBytes(kTarget), "first");
  ASSERT_TRUE(ReplaceFileContents(fs, kTarget, "").ok());
  EXPECT_TRUE(w.Exists(kTarget));
  EXPECT_EQ(w.FileBytes(kTarget), "");
  // A temporary file left by a crash is simply overwritten.
  w.AddFile(kTemporary, "stale");
  ASSERT_TRUE(ReplaceFileContents(fs, kTarget, std::string(3 << 20, 'x')).ok());
  EXPECT_EQ(w.FileBytes(kTarget), std::string(3 << 20, 'x'));
  EXPECT_FALSE(w.Exists(kTemporary));
}

TEST(ReplaceFileContents, AFailureAtAnyStepKeepsTheOldContent) {
  struct Case {
    Op op;
    std::wstring path;
    uint32_t code;
  } cases[] = {
      {Op::kOpenFile, kTemporary, 5},     // the temporary file cannot be made
      {Op::kWriteFile, kTemporary, 112},  // disk full
      {Op::kFlushFile, kTemporary, 29},   // not on disk: must not be moved into place
      {Op::kMoveFile, kTarget, 32},       // the target is in use
  };
  for (const Case& c : cases) {
    fake::FakeWindows w;
    w.AddFile(kTarget, "old");
    w.InjectFault(c.op, c.path, c.code);
    platform::Status status = ReplaceFileContents(w.platform().fs, kTarget, "new");
    EXPECT_EQ(status.code(), c.code) << static_cast<int>(c.op);
    EXPECT_EQ(w.FileBytes(kTarget), "old") << static_cast<int>(c.op);
    EXPECT_FALSE(w.Exists(kTemporary)) << static_cast<int>(c.op);
  }
}

}  // namespace
}  // namespace corvex
