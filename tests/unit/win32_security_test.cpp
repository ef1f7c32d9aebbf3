#ifdef _WIN32

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

using testing::RawWrite;
using testing::TempFolder;
using testing::UnderWine;

// Attributes of `luid` in this process's token, or -1 when it holds none.
long PrivilegeAttributes(uint64_t luid) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return -2;
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  long found = -1;
  if (GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      const LUID& l = privileges->Privileges[i].Luid;
      if (((static_cast<uint64_t>(static_cast<uint32_t>(l.HighPart)) << 32) | l.LowPart) == luid)
        found = static_cast<long>(privileges->Privileges[i].Attributes);
    }
  }
  CloseHandle(token);
  return found;
}

// True while `h` still names an open handle of this process.
bool IsOpen(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != 0;
}

// The DACL of `path` as SDDL, read past the code under test.
std::wstring DaclOf(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &sd) != ERROR_SUCCESS)
    return L"<unreadable>";
  LPWSTR text = nullptr;
  std::wstring out = L"<unconvertible>";
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                           nullptr)) {
    out = text;
    LocalFree(text);
  }
  LocalFree(sd);
  return out;
}

std::wstring Lower(std::wstring s) {
  CharLowerBuffW(&s[0], static_cast<DWORD>(s.size()));
  return s;
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

TEST(Win32Security, PrivilegesAreLookedUpAndSwitchedInATokenClosedWithItsOwner) {
  Win32Security sec;
  auto luid = sec.LookupPrivilege(L"SeBackupPrivilege");
  ASSERT_TRUE(luid.ok()) << luid.code();
  EXPECT_NE(*luid, 0u);
  auto restore = sec.LookupPrivilege(L"SeRestorePrivilege");
  ASSERT_TRUE(restore.ok());
  EXPECT_NE(*restore, *luid);
  EXPECT_EQ(sec.LookupPrivilege(L"SeNoSuchPrivilege").code(), 1313u);

  EXPECT_EQ(sec.AdjustPrivilege(platform::Token(), *luid, true).code(), 6u);

  HANDLE raw = nullptr;
  {
    auto token = sec.OpenProcessToken();
    ASSERT_TRUE(token.ok()) << token.code();
    raw = reinterpret_cast<HANDLE>(token->get());
    EXPECT_TRUE(IsOpen(raw));
    // Switching needs an account that holds the backup privilege.
    if (PrivilegeAttributes(*luid) >= 0) {
      ASSERT_TRUE(sec.AdjustPrivilege(*token, *luid, true).ok());
      EXPECT_TRUE(PrivilegeAttributes(*luid) & SE_PRIVILEGE_ENABLED);
      ASSERT_TRUE(sec.AdjustPrivilege(*token, *luid, false).ok());
      EXPECT_FALSE(PrivilegeAttributes(*luid) & SE_PRIVILEGE_ENABLED);
    }
  }
  EXPECT_FALSE(IsOpen(raw)) << "a token is closed with its owner";
}

TEST(Win32Security, APrivilegeTheTokenLacksIsAFailure) {
  Win32Security sec;
  auto token = sec.OpenProcessToken();
  ASSERT_TRUE(token.ok()) << token.code();
  // Privileges only the system's own accounts hold.
  for (const wchar_t* name : {L"SeCreateTokenPrivilege", L"SeTcbPrivilege", L"SeTrustedCredManAccessPrivilege",
                              L"SeAssignPrimaryTokenPrivilege"}) {
    auto luid = sec.LookupPrivilege(name);
    if (!luid.ok() || PrivilegeAttributes(*luid) != -1) continue;
    // AdjustTokenPrivileges itself returns TRUE here.
    EXPECT_EQ(sec.AdjustPrivilege(*token, *luid, true).code(), static_cast<uint32_t>(ERROR_NOT_ALL_ASSIGNED)) << name;
    EXPECT_EQ(sec.AdjustPrivilege(*token, *luid, false).code(), static_cast<uint32_t>(ERROR_NOT_ALL_ASSIGNED)) << name;
    EXPECT_EQ(PrivilegeAttributes(*luid), -1);
    // A held one afterwards is not tainted by the last error left behind.
    auto change = sec.LookupPrivilege(L"SeChangeNotifyPrivilege");
    ASSERT_TRUE(change.ok());
    EXPECT_TRUE(sec.AdjustPrivilege(*token, *change, true).ok());
    return;
  }
  GTEST_SKIP() << "this token holds every privilege tried";
}

TEST(Win32Security, AccountsSidsAndFullAccessDaclsAreResolved) {
  Win32Security sec;
  auto user = sec.UserName();
  ASSERT_TRUE(user.ok()) << user.code();
  auto userSid = sec.AccountSid(*user);
  ASSERT_TRUE(userSid.ok()) << userSid.code();
  EXPECT_EQ(userSid->compare(0, 6, L"S-1-5-"), 0) << *userSid;
  EXPECT_EQ(sec.AccountSid(L"Administrators").value_or(L"?"), L"S-1-5-32-544");
  EXPECT_EQ(sec.AccountSid(L"Corvex No Such Account 7f3a").code(), 1332u);
  EXPECT_EQ(sec.EveryoneSid().value_or(L"?"), L"S-1-1-0");
  EXPECT_TRUE(sec.CheckStringSid(L"S-1-5-32-544").ok());
  EXPECT_EQ(sec.CheckStringSid(L"not a sid").code(), 1337u);
  // A full-access DACL is one inheritable entry.
  EXPECT_EQ(sec.BuildFullAccessDacl(L"S-1-1-0").value_or(L"?"), L"D:(A;OICI;GA;;;WD)");
  EXPECT_EQ(sec.BuildFullAccessDacl(L"S-1-5-32-544").value_or(L"?"), L"D:(A;OICI;GA;;;BA)");
  EXPECT_EQ(sec.BuildFullAccessDacl(L"bogus").code(), 1337u);
}

TEST(Win32Security, OwnersAreSetAndReadBack) {
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  ASSERT_TRUE(RawWrite(tmp / L"owned.txt", "x"));
  Win32Security sec;
  auto before = sec.ReadOwner(tmp / L"owned.txt");
  ASSERT_TRUE(before.ok()) << before.code();
  ASSERT_TRUE(sec.SetOwner(tmp / L"owned.txt", L"S-1-5-32-544").ok());
  if (!UnderWine()) {
    EXPECT_EQ(sec.ReadOwner(tmp / L"owned.txt").value_or(L"?"), L"S-1-5-32-544");
  }
  EXPECT_EQ(sec.ReadOwner(tmp / L"missing.txt").code(), 2u);
  EXPECT_EQ(sec.SetOwner(tmp / L"owned.txt", L"bogus").code(), 1337u);
}

TEST(Win32Security, DaclsAreWrittenAndProtectionFollowsTheText) {
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  std::wstring file = tmp / L"acl.txt";
  ASSERT_TRUE(RawWrite(file, "x"));
  Win32Security sec;
  EXPECT_NE(sec.SetDacl(file, L"D:(nonsense").code(), 0u);
  EXPECT_EQ(sec.SetDacl(tmp / L"missing.txt", L"D:(A;;FA;;;WD)").code(), 2u);
  ASSERT_TRUE(sec.SetDacl(file, L"D:(A;;FA;;;WD)(A;;0x1200a9;;;BU)").ok());
  // Only the failures can be seen under Wine.
  if (UnderWine()) GTEST_SKIP() << "Wine does not keep DACLs of files";
  std::wstring dacl = DaclOf(file);
  EXPECT_NE(dacl.find(L"(A;;FA;;;WD)"), std::wstring::npos) << dacl;
  EXPECT_NE(dacl.find(L"(A;;0x1200a9;;;BU)"), std::wstring::npos) << dacl;
  EXPECT_EQ(dacl.find(L"D:P"), std::wstring::npos) << dacl;

  ASSERT_TRUE(sec.SetDacl(file, L"D:P(A;;FA;;;BA)").ok());
  dacl = DaclOf(file);
  EXPECT_EQ(dacl.compare(0, 3, L"D:P"), 0) << dacl;
  EXPECT_NE(dacl.find(L"(A;;FA;;;BA)"), std::wstring::npos) << dacl;
  EXPECT_EQ(dacl.find(L";WD)"), std::wstring::npos) << dacl;
}

std::vector<std::wstring> SortedLower(const std::vector<std::wstring>& paths) {
  std::vector<std::wstring> out;
  for (auto& p : paths) out.push_back(Lower(p));
  std::sort(out.begin(), out.end());
  return out;
}

TEST(Win32Security, HardLinksAreListedByPath) {
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  std::wstring first = tmp / L"first.txt", second = tmp / L"second.txt";
  ASSERT_TRUE(RawWrite(first, "shared"));
  ASSERT_TRUE(CreateHardLinkW(second.c_str(), first.c_str(), nullptr)) << GetLastError();
  Win32Security sec;

  if (UnderWine()) {
    // The names cannot be listed there; the call must say so, not crash.
    EXPECT_NE(sec.HardLinksOfPath(first).code(), 0u);
    GTEST_SKIP() << "Wine cannot list hard links";
  }

  auto links = sec.HardLinksOfPath(first);
  ASSERT_TRUE(links.ok()) << links.code();
  EXPECT_EQ(links->linkCount, 2u);
  EXPECT_FALSE(links->deletePending);
  EXPECT_EQ(SortedLower(links->paths), (std::vector<std::wstring>{Lower(first), Lower(second)}));
  EXPECT_EQ(sec.HardLinksOfPath(tmp / L"missing.txt").code(), 2u);
}

TEST(Win32Security, VolumeScanWithoutAJournalFailsWithACode) {
  // Wine has no change journal; the whole-volume scan on Windows is left to
  // runs by hand, as it reads every record of the drive.
  if (!UnderWine()) GTEST_SKIP() << "scans the whole system drive";
  Win32Security sec;
  size_t records = 0;
  auto st = sec.ScanVolume(L'C', [&](const platform::VolumeRecord&) { ++records; });
  EXPECT_NE(st.code(), 0u);
  EXPECT_EQ(records, 0u);
  // Not the query by file ID: Wine answers it by walking the whole drive.
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
