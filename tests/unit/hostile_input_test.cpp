// Inputs the fuzz targets found (tests/fuzz): each case failed before its fix.
#include <gtest/gtest.h>

#include "fs/datablocks.h"
#include "security_test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;
using testing::kStorePath;
using testing::StoreText;

// A record is one line "path|DACL|owner". Security text with a line end, a
// '|' or another control character would split it or shift its fields, so
// the icacls save file or manifest that holds it is unusable.
TEST(HostileInput, SecurityTextThatWouldBreakItsRecordIsRefused) {
  const std::wstring path = L"C:\\Windows\\System32\\ntdll.dll";
  const std::wstring good = L"D:PAI(A;;FA;;;SY)(A;;0x1200a9;;;BA)";
  const std::pair<std::wstring, bool> cases[] = {
      {good, true},
      {L"D:PAI(A;;FA;;;SY)\r(A;;0x1200a9;;;BA)", false},
      {L"D:PAI(A;;FA;;;SY)\n(A;;0x1200a9;;;BA)", false},
      {L"D:PAI(A;;FA;;;SY)|S-1-1-0", false},
      {std::wstring(L"D:PAI(A;;FA;;;SY)\0x", 19), false},
      {L"D:PAI(A;;FA;;;SY)\x7F", false},
  };
  for (const auto& [dacl, usable] : cases) {
    SavedAcl acl;
    EXPECT_EQ(ParseIcaclsSave(L"ntdll.dll\r\n" + dacl + L"\r\n", path, acl),
              usable ? SavedAclStatus::kOk : SavedAclStatus::kUnusable)
        << ToUtf8(dacl);

    FakeSession f;
    EXPECT_EQ(ReplaceFileDataBlock(f.s, path, L"O:S-1-5-18G:S-1-5-18" + dacl),
              usable ? datablock::kStored : datablock::kDescriptorUnusable)
        << ToUtf8(dacl);
    if (usable)
      EXPECT_EQ(StoreText(f), path + L"|" + dacl + L"|S-1-5-18");
    else
      EXPECT_FALSE(f.w.Exists(kStorePath)) << ToUtf8(dacl);
  }
}

}  // namespace
}  // namespace corvex
