#ifdef _WIN32

#include <gtest/gtest.h>

#include "platform/win32/win32_backend.h"
#include "platform/win32/win32_registry.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

using platform::RegistryValue;
using platform::RootKey;
using testing::TempFolder;
namespace keyaccess = platform::keyaccess;
namespace regtype = platform::regtype;

constexpr uint32_t kAll = keyaccess::kAllAccess | keyaccess::kWow64_64Key;

std::wstring Unique(const wchar_t* stem) { return stem + std::to_wstring(GetCurrentProcessId()); }

// Through the backend's own calls, which win32_security_test.cpp proves.
bool SetPrivilege(const wchar_t* name, bool on) {
  Win32Security sec;
  auto token = sec.OpenProcessToken();
  auto luid = sec.LookupPrivilege(name);
  return token.ok() && luid.ok() && sec.AdjustPrivilege(*token, *luid, on).ok();
}

TEST(Win32Registry, ValuesOfEveryTypeKeysAndTheirOrder) {
  Win32Registry reg;
  const std::wstring path = L"Software\\" + Unique(L"CorvexRegTest");
  auto key = reg.CreateKey(RootKey::kCurrentUser, path, kAll);
  ASSERT_TRUE(key.ok()) << key.code();
  const std::vector<RegistryValue> values = {
      {L"sz", regtype::kSz, std::string("a\0:\0:\0\0\0", 8)},
      {L"expand", regtype::kExpandSz, std::string("%\0x\0%\0\0\0", 8)},
      {L"bin", regtype::kBinary, std::string("\x00\xff\x10", 3)},
      {L"dword", regtype::kDword, std::string("\x2a\0\0\0", 4)},
      {L"multi", regtype::kMultiSz, std::string("a\0\0\0b\0\0\0\0\0", 10)},
      {L"qword", regtype::kQword, std::string("\1\2\3\4\5\6\7\x08", 8)},
      {L"", regtype::kNone, std::string()},
  };
  for (auto& v : values) EXPECT_TRUE(reg.SetValue(*key, v).ok()) << std::string(v.name.begin(), v.name.end());
  auto read = reg.Values(*key);
  ASSERT_TRUE(read.ok());
  ASSERT_EQ(read->size(), values.size());
  for (auto& v : values) {
    auto one = reg.QueryValue(*key, v.name);
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one->type, v.type);
    EXPECT_EQ(one->data, v.data);
  }
  EXPECT_EQ(reg.QueryValue(*key, L"none").code(), 2u);
  EXPECT_TRUE(reg.DeleteValue(*key, L"bin").ok());
  EXPECT_EQ(reg.DeleteValue(*key, L"bin").code(), 2u);

  for (const wchar_t* sub : {L"beta", L"Alpha", L"gamma"}) ASSERT_TRUE(reg.CreateKey(RootKey::kCurrentUser, path + L"\\" + sub, kAll).ok());
  EXPECT_EQ(*reg.SubKeyNames(*key), (std::vector<std::wstring>{L"Alpha", L"beta", L"gamma"}));
  EXPECT_EQ(reg.DeleteKey(RootKey::kCurrentUser, path).code(), 5u) << "a key with subkeys stays";
  for (const wchar_t* sub : {L"beta", L"Alpha", L"gamma"}) EXPECT_TRUE(reg.DeleteKey(RootKey::kCurrentUser, path + L"\\" + sub).ok());
  EXPECT_TRUE(key->Close().ok());
  EXPECT_TRUE(reg.DeleteKey(RootKey::kCurrentUser, path).ok());
}

TEST(Win32Registry, KeySecurityRoundTripsThroughSddl) {
  Win32Registry reg;
  const std::wstring path = L"Software\\" + Unique(L"CorvexRegSecurity");
  auto key = reg.CreateKey(RootKey::kCurrentUser, path, kAll);
  ASSERT_TRUE(key.ok());
  auto user = Win32Security().TokenUserSid();
  ASSERT_TRUE(user.ok());
  EXPECT_EQ(user->rfind(L"S-1-5-", 0), 0u) << std::string(user->begin(), user->end());
  auto descriptor = reg.SddlToDescriptor(L"O:" + *user + L"D:PAI(A;CI;KA;;;WD)");
  ASSERT_TRUE(descriptor.ok());
  ASSERT_TRUE(reg.SetKeySecurity(*key, 5, *descriptor).ok());
  auto read = reg.GetKeySecurity(*key, 5);
  ASSERT_TRUE(read.ok());
  auto sddl = reg.DescriptorToSddl(*read, 5);
  ASSERT_TRUE(sddl.ok());
  EXPECT_EQ(*sddl, L"O:" + *user + L"D:PAI(A;CI;KA;;;WD)");
  EXPECT_FALSE(reg.SddlToDescriptor(L"O:nobodyD:(").ok());
  EXPECT_FALSE(reg.SetKeySecurity(*key, 4, "junk").ok());
  key->Close();
  EXPECT_TRUE(reg.DeleteKey(RootKey::kCurrentUser, path).ok());
}

TEST(Win32Registry, AHiveSavedToAFileLoadsAndUnloads) {
  Win32Registry reg;
  TempFolder dir;
  ASSERT_TRUE(dir.ok());
  const std::wstring path = L"Software\\" + Unique(L"CorvexHiveSource");
  auto key = reg.CreateKey(RootKey::kCurrentUser, path, kAll);
  ASSERT_TRUE(key.ok());
  ASSERT_TRUE(reg.SetValue(*key, {L"v", regtype::kDword, std::string("\7\0\0\0", 4)}).ok());
  ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, true));
  ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
  const std::wstring file = dir / L"hive";
  ASSERT_EQ(RegSaveKeyW(reinterpret_cast<HKEY>(key->get()), file.c_str(), nullptr), ERROR_SUCCESS);
  key->Close();
  reg.DeleteKey(RootKey::kCurrentUser, path);

  const std::wstring name = Unique(L"CorvexTestHive");
  EXPECT_TRUE(reg.LoadHive(name, file).ok());
  auto loaded = reg.OpenKey(RootKey::kLocalMachine, name, keyaccess::kRead | keyaccess::kWow64_64Key);
  ASSERT_TRUE(loaded.ok());
  auto v = reg.QueryValue(*loaded, L"v");
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v->data, std::string("\7\0\0\0", 4));
  loaded->Close();
  EXPECT_TRUE(reg.UnloadHive(name).ok());
  EXPECT_EQ(reg.OpenKey(RootKey::kLocalMachine, name, keyaccess::kRead).code(), 2u);
  SetPrivilege(SE_BACKUP_NAME, false);
  SetPrivilege(SE_RESTORE_NAME, false);
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
