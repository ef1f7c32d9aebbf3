// Inputs the fuzz targets found (tests/fuzz): each case failed before its fix.
#include <gtest/gtest.h>

#include "fs/datablocks.h"
#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

// A record is one line "path|DACL|owner". Security text with a line end, a
// '|' or another control character would split it or shift its fields, so
// the icacls save file or manifest that holds it is unusable.
TEST(HostileInput, SecurityTextThatWouldBreakItsRecordIsRefused) {
  const std::wstring path = L"C:\\Windows\\System32\\ntdll.dll";
  const std::wstring good = L"D:PAI(A;;FA;;;SY)(A;;0x1200a9;;;BA)";
  struct Case {
    std::wstring dacl;
    bool usable;
  };
  const Case cases[] = {
      {good, true},
      {L"D:PAI(A;;FA;;;SY)\r(A;;0x1200a9;;;BA)", false},
      {L"D:PAI(A;;FA;;;SY)\n(A;;0x1200a9;;;BA)", false},
      {L"D:PAI(A;;FA;;;SY)|S-1-1-0", false},
      {std::wstring(L"D:PAI(A;;FA;;;SY)\0x", 19), false},
      {L"D:PAI(A;;FA;;;SY)\x7F", false},
  };
  for (const Case& c : cases) {
    SavedAcl acl;
    EXPECT_EQ(ParseIcaclsSave(L"ntdll.dll\r\n" + c.dacl + L"\r\n", path, acl),
              c.usable ? SavedAclStatus::kOk : SavedAclStatus::kUnusable)
        << ToUtf8(c.dacl);

    FakeSession f;
    EXPECT_EQ(ReplaceFileDataBlock(f.s, path, L"O:S-1-5-18G:S-1-5-18" + c.dacl),
              c.usable ? datablock::kStored : datablock::kDescriptorUnusable)
        << ToUtf8(c.dacl);
    const std::wstring store = L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\DataBlocks";
    if (c.usable)
      EXPECT_EQ(f.Utf16File(store), path + L"|" + c.dacl + L"|S-1-5-18");
    else
      EXPECT_FALSE(f.w.Exists(store)) << ToUtf8(c.dacl);
  }
}

}  // namespace
}  // namespace corvex
