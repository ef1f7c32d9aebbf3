// BitShift:: and Trace:: over small COMPONENTS, SCHEMA and servicing trees.
#include "registry/registry_scan.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_registry.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;
namespace regtype = platform::regtype;

const std::wstring kComponentsFile = L"C:\\Windows\\System32\\config\\COMPONENTS";
const std::wstring kSchemaFile = L"C:\\Windows\\System32\\SMI\\Store\\Machine\\SCHEMA.DAT";
const std::wstring kCbs = L"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing";

TEST(AllowedCharacters, Table) {
  EXPECT_FALSE(IsOutsideAllowedCharacters(L""));
  EXPECT_FALSE(IsOutsideAllowedCharacters(L"amd64_microsoft-windows-a.b_31bf3856ad364e35_6.1.7601.17514_none_x"));
  EXPECT_FALSE(IsOutsideAllowedCharacters(L"~()/\\ @:=+?$'&[]\"#;,!"));
  for (const wchar_t* bad : {L"caf\u00e9", L"tab\there", L"a%b", L"a*b", L"a<b", L"a{b}"})
    EXPECT_TRUE(IsOutsideAllowedCharacters(bad)) << bad;
  EXPECT_TRUE(IsOutsideAllowedCharacters(std::wstring(L"nul\0x", 5)));
}

struct BitShiftFixture {
  FakeSession f;
  std::wstring report;
  BitShiftFixture() {
    f.w.registry().WriteHiveFile(kComponentsFile, L"[DerivedData\\Components\\ok]\r\n\"v\"=\"fine\"\r\n");
    f.w.registry().WriteHiveFile(kSchemaFile, L"[]\r\n");
    f.w.registry().SetString(kCbs + L"\\Packages\\Good", L"Name", L"Package_1~31bf3856ad364e35~amd64~~6.1.1.0");
  }
};

TEST(BitShift, ListsSuspectKeysNamesAndStringDataInThatOrder) {
  BitShiftFixture x;
  auto& reg = x.f.w.registry();
  // Both hives are loaded when the scan meets them; the servicing key is
  // always there.
  reg.WriteHiveFile(kComponentsFile, L"[DerivedData\\Components\\b\u00e9d]\r\n\"caf\u00e9\"=dword:1\r\n");
  reg.SetValue(kCbs + L"\\Packages\\Good", L"wide", regtype::kSz, ToUtf16Le(L"A\u00e9") + std::string(2, '\0'));
  // Read no further than the returned size: no terminator, and a NUL
  // before what a longer read would show.
  reg.SetValue(kCbs + L"\\Packages\\Good", L"narrow", regtype::kSz, "ab");
  reg.SetValue(kCbs + L"\\Packages\\Good", L"cut", regtype::kSz, std::string("o\0k\0\0\0\xe9\0", 8));
  reg.SetValue(kCbs + L"\\Packages\\Good", L"bin", regtype::kBinary, "\xe9\xff");
  reg.SetValue(kCbs + L"\\Packages\\Good", L"long", regtype::kSz, std::string(2048, '\x01'));
  EXPECT_TRUE(BitShiftDirective(x.f.s, {}, L"", x.report));
  const std::wstring cbs = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based "
                           L"Servicing\\Packages\\Good";
  EXPECT_EQ(x.report, L"Corrupt Registry Key Detected: HKEY_LOCAL_MACHINE\\COMPONENTS\\DerivedData\\Components\\b\u00e9d\r\n"
                      L"Corrupt Registry Value Detected: HKEY_LOCAL_MACHINE\\COMPONENTS\\DerivedData\\Components\\"
                      L"b\u00e9d:caf?\r\n"
                      L"Corrupt Registry Data Detected: " + cbs + L":wide:A?\r\n");
  // Once loaded, the hives stay loaded: the next load fails, the scan runs.
  x.report.clear();
  EXPECT_FALSE(BitShiftDirective(x.f.s, {L" display unicode "}, L"", x.report));
  EXPECT_TRUE(testing::Holds(x.report, L"ERROR_SHARING_VIOLATION.\r\n\r\nCorrupt Registry Key"));
  EXPECT_TRUE(testing::Holds(x.report, L"b\u00e9d:caf\u00e9\r\n"));
  EXPECT_TRUE(testing::Holds(x.report, L":wide:A\u00e9\r\n"));
}

TEST(BitShift, AHiveThatWillNotLoadFailsTheDirectiveButTheScanRuns) {
  FakeSession f;
  f.w.registry().AddKey(kCbs + L"\\Packages\\B\u00e9");
  std::wstring report;
  EXPECT_FALSE(BitShiftDirective(f.s, {}, L"", report));
  EXPECT_EQ(report, L"Failed to load registry hive file " + kComponentsFile + L". File not found.\r\n"
                    L"Failed to load registry hive file " + kSchemaFile + L". File not found.\r\n\r\n"
                    L"Corrupt Registry Key Detected: HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                    L"Component Based Servicing\\Packages\\B\u00e9\r\n");
}

// A component, its catalog's thumbprint among two, and the deployment that
// names that catalog among two.
const wchar_t kStore[] =
    L"[DerivedData\\Components\\x86_demo_31bf3856ad364e35_6.1.0.0_none_1]\r\n\"S256H\"=hex:00\r\n\"c!demo.cat\"=hex:01\r\n"
    L"[DerivedData\\Components\\nocat]\r\n\"c\"=hex:01\r\n\"c!str\"=\"not binary\"\r\n"
    L"[DerivedData\\Components\\lost]\r\n\"c!missing.cat\"=hex:01\r\n"
    L"[DerivedData\\Components\\orphan]\r\n\"c!orphan.cat\"=hex:01\r\n"
    L"[CanonicalData\\Catalogs\\aaaa]\r\n\"c!other.cat\"=hex:01\r\n\"c!orphan.cat\"=hex:01\r\n"
    L"[CanonicalData\\Catalogs\\bbbb]\r\n\"c!demo.cat\"=hex:01\r\n"
    L"[CanonicalData\\Deployments\\dep1]\r\n\"CatalogThumbprint\"=\"cccc\"\r\n\"p!Wrong\"=hex:57\r\n"
    L"[CanonicalData\\Deployments\\dep2]\r\n\"CatalogThumbprint\"=\"bbbb\"\r\n\"i!x\"=hex:49\r\n"
    L"\"p!Package_1_for_KB1~31bf3856ad364e35~x86~~6.1.1.0.demo\"=hex:50,61,63,6b,61,67,65,5f,31,00,ff\r\n";

TEST(Trace, FollowsComponentToCatalogToDeployment) {
  FakeSession f;
  f.w.registry().WriteHiveFile(kComponentsFile, kStore);
  std::wstring report;
  EXPECT_TRUE(TraceDirective(
      f.s,
      {L"\"C:\\Windows\\WinSxS\\Manifests\\x86_demo_31bf3856ad364e35_6.1.0.0_none_1.MANIFEST\"", L"absent", L"nocat",
       L"lost", L"orphan"},
      L"", report));
  EXPECT_EQ(report,
            L"Successfully traced component x86_demo_31bf3856ad364e35_6.1.0.0_none_1.\r\n    Package_1\r\n\r\n"
            L"Failed to trace component absent with return code 1 and conditional return code "
            L"ERROR_FILE_NOT_FOUND.\r\n\r\n"
            L"Failed to trace component nocat with return code -1.\r\n\r\n"
            L"Failed to trace component lost with return code -2.\r\n\r\n"
            L"Failed to trace component orphan with return code -3.\r\n\r\n");
  EXPECT_EQ(f.w.registry().OpenKeys(), 0u);
}

TEST(Trace, OpenFailuresOfTheCanonicalKeysCarryTheirCodes) {
  FakeSession f;
  f.w.registry().WriteHiveFile(kComponentsFile, kStore);
  const std::wstring component = L"x86_demo_31bf3856ad364e35_6.1.0.0_none_1";
  std::wstring text;
  uint32_t conditional = 0;
  f.w.InjectFault(Op::kOpenKey, L"CanonicalData\\Catalogs", 5);
  EXPECT_EQ(TraceComponent(f.s, component, text, conditional), 2);
  EXPECT_EQ(conditional, 5u);
  f.w.InjectFault(Op::kOpenKey, L"CanonicalData\\Deployments", 1018);
  EXPECT_EQ(TraceComponent(f.s, component, text, conditional), 3);
  EXPECT_EQ(conditional, 1018u);
  EXPECT_EQ(TraceComponent(f.s, component, text, conditional), 0);
  EXPECT_EQ(text, L"Package_1");
}

}  // namespace
}  // namespace corvex
