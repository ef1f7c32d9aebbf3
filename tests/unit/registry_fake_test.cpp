// The fake registry the registry directives are tested against: its access
// checks, key security, hives and the emulated reg.exe.
#include "platform/fake/fake_registry.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_security.h"
#include "sample_files.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::RegFileBlock;
using platform::RootKey;
using testing::FakeSession;
using testing::Sz;
namespace keyaccess = platform::keyaccess;
namespace regtype = platform::regtype;


TEST(RegFile, ParsesEveryValueFormAndRefusesWhatRegExeRefuses) {
  std::vector<RegFileBlock> blocks;
  ASSERT_TRUE(fake::ParseRegFile(L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n"
                                 L"@=\"d\\\\e\\\"f\"\r\n\"s\"=\"::{20D04FE0}\"\r\n\"d\"=dword:0000012a\r\n"
                                 L"\"h\"=hex(7):41,00,\\\r\n  00,00\r\n\"x\"=-\r\n\"b\"=hex:\r\n[-HKLM\\B]\r\n",
                                 blocks));
  ASSERT_EQ(blocks.size(), 2u);
  auto& v = blocks[0].values;
  ASSERT_EQ(v.size(), 6u);
  EXPECT_EQ(v[1].value.data, Sz(L"::{20D04FE0}"));
  EXPECT_EQ(v[2].value.data, std::string("\x2a\x01\0\0", 4));
  EXPECT_EQ(v[3].value.type, regtype::kMultiSz);
  EXPECT_EQ(v[3].value.data, std::string("A\0\0\0", 4));
  EXPECT_EQ(v[5].value.type, regtype::kBinary);

  for (const wchar_t* bad : {L"[HKCU\\A]\r\n", L"REGEDIT4\r\n\"v\"=\"x\"\r\n", L"REGEDIT4\r\n[A]\r\n\"v\"=dword:1g",
                             L"REGEDIT4\r\n[A]\r\n\"v\"=hex:100", L"REGEDIT4\r\n[A]\r\n\"v\"=\"open"}) {
    blocks.clear();
    EXPECT_FALSE(fake::ParseRegFile(bad, blocks)) << bad;
  }
}

TEST(RegFile, ReadsWindowsOwnExportsAndWritesTheirValueLines) {
  for (const char* name : {"windows/reg-export-hex2-usershellfolders.reg", "windows/reg-export-multiline-sz.reg"}) {
    std::string bytes = ReadSample(name);
    ASSERT_FALSE(bytes.empty()) << name;
    std::wstring text = bytes.compare(0, 2, "\xFF\xFE") == 0 ? FromUtf16Le(bytes, 2) : FromLatin1(bytes);
    std::vector<RegFileBlock> blocks;
    EXPECT_TRUE(fake::ParseRegFile(text, blocks)) << name;
    ASSERT_FALSE(blocks.empty());
    // A value line written out reads back as the same value.
    for (auto& b : blocks)
      for (auto& v : b.values) {
        std::vector<RegFileBlock> again;
        ASSERT_TRUE(fake::ParseRegFile(L"REGEDIT4\r\n[K]\r\n" + fake::RegFileValueLine(v.value), again));
        ASSERT_EQ(again[0].values.size(), 1u);
        EXPECT_EQ(again[0].values[0].value.data, v.value.data) << v.name;
        EXPECT_EQ(again[0].values[0].value.type, v.value.type) << v.name;
      }
  }
}

TEST(FakeRegistry, KeysOpenAsTheirDaclAllowsAndEnumerateInRegistryOrder) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.SetString(L"HKLM\\SOFTWARE\\T\\beta", L"v2", L"b");
  reg.SetString(L"HKLM\\SOFTWARE\\T\\Alpha", L"z", L"1");
  reg.SetDword(L"HKLM\\SOFTWARE\\T\\Alpha", L"a", 7);
  reg.Protect(L"HKLM\\SOFTWARE\\T\\Gamma");
  auto& os = f.w.platform().registry;

  auto t = os.OpenKey(RootKey::kLocalMachine, L"SOFTWARE\\T", keyaccess::kRead | keyaccess::kWow64_64Key);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(*os.SubKeyNames(*t), (std::vector<std::wstring>{L"Alpha", L"beta", L"Gamma"}));
  auto alpha = os.OpenKey(RootKey::kLocalMachine, L"software\\t\\alpha", keyaccess::kQueryValue);
  ASSERT_TRUE(alpha.ok());
  auto values = os.Values(*alpha);
  ASSERT_EQ(values->size(), 2u);
  EXPECT_EQ((*values)[0].name, L"z") << "values come in the order they were made";
  EXPECT_EQ(os.SetValue(*alpha, {L"n", regtype::kSz, Sz(L"x")}).code(), 5u) << "opened for reading only";

  EXPECT_EQ(os.OpenKey(RootKey::kLocalMachine, L"SOFTWARE\\T\\Gamma", keyaccess::kSetValue).code(), 5u);
  EXPECT_TRUE(os.OpenKey(RootKey::kLocalMachine, L"SOFTWARE\\T\\Gamma", keyaccess::kRead).ok());
  EXPECT_EQ(os.CreateKey(RootKey::kLocalMachine, L"NewTop", keyaccess::kRead).code(), 5u);
  EXPECT_EQ(os.CreateKey(RootKey::kLocalMachine, L"SOFTWARE\\T\\Gamma\\Sub", keyaccess::kRead).code(), 5u);
  auto made = os.CreateKey(RootKey::kLocalMachine, L"SOFTWARE\\T\\beta\\New", keyaccess::kAllAccess);
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(reg.SecurityOf(L"HKLM\\SOFTWARE\\T\\beta\\New"),
            L"O:BAD:AI(A;CIID;KA;;;BA)(A;CIID;KA;;;SY)(A;CIID;KR;;;BU)");
}

TEST(FakeRegistry, KeySecurityChangesUnderTheOwnershipRules) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.Protect(L"HKLM\\SOFTWARE\\P");
  auto& os = f.w.platform().registry;
  auto& sec = f.w.security();
  EXPECT_EQ(os.OpenKey(RootKey::kLocalMachine, L"SOFTWARE\\P", keyaccess::kWriteOwner).code(), 5u);
  sec.enabledPrivileges.insert(L"SeTakeOwnershipPrivilege");
  auto k = os.OpenKey(RootKey::kLocalMachine, L"SOFTWARE\\P", keyaccess::kReadControl | keyaccess::kWriteOwner);
  ASSERT_TRUE(k.ok());
  auto text = os.DescriptorToSddl(*os.GetKeySecurity(*k, 5), 5);
  EXPECT_EQ(*text, L"O:" + std::wstring(platform::sid::kTrustedInstaller) + fake::FakeRegistry::kProtectedDacl);
  EXPECT_EQ(os.SetKeySecurity(*k, 1, *os.SddlToDescriptor(L"O:WD")).code(), 1307u) << "Everyone needs restore";
  EXPECT_TRUE(os.SetKeySecurity(*k, 1, *os.SddlToDescriptor(L"O:" + sec.userSid)).ok());
  EXPECT_EQ(os.SetKeySecurity(*k, 4, *os.SddlToDescriptor(L"D:(A;;KA;;;WD)")).code(), 5u) << "no WRITE_DAC asked";
  EXPECT_EQ(os.SddlToDescriptor(L"O:nobody").code(), 1336u);
}

TEST(FakeRegExe, ExportsAndImportsWithTheCallersAccess) {
  FakeSession f;
  auto& reg = f.w.registry();
  reg.SetString(L"HKCU\\Software\\E", L"s", L"a\\b");
  reg.SetValue(L"HKCU\\Software\\E\\Sub", L"", regtype::kBinary, std::string(30, '\x01'));
  platform::ProcessRequest r;
  r.program = L"C:\\Windows\\System32\\reg.exe";
  r.commandLine = L" EXPORT \"HKCU\\Software\\E\" \"C:\\out file.reg\" /y";
  EXPECT_EQ(reg.RunReg(r).exitCode, 0u);
  std::wstring text = FromUtf16Le(f.w.FileBytes(L"C:\\out file.reg"), 2);
  EXPECT_EQ(text.substr(0, 84),
            L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\E]\r\n\"s\"=\"a\\\\b\"\r\n");
  EXPECT_TRUE(testing::Holds(text, L"[HKEY_CURRENT_USER\\Software\\E\\Sub]\r\n@=hex:01,"));

  reg.Protect(L"HKLM\\SOFTWARE\\P");
  f.w.AddFile(L"C:\\in.reg", testing::Utf16Bom(L"Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\SOFTWARE\\P\\N]\r\n"));
  r.commandLine = L" IMPORT \"C:\\in.reg\"";
  EXPECT_EQ(reg.RunReg(r).exitCode, 1u) << "administrators may not make keys in a protected key";
  EXPECT_FALSE(reg.KeyExists(L"HKLM\\SOFTWARE\\P\\N"));
  reg.SetSecurity(L"HKLM\\SOFTWARE\\P", L"WD", L"D:PAI(A;CI;KA;;;WD)");
  EXPECT_EQ(reg.RunReg(r).exitCode, 0u);
  EXPECT_TRUE(reg.KeyExists(L"HKLM\\SOFTWARE\\P\\N"));
}

}  // namespace
}  // namespace corvex
