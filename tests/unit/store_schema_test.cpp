// The component-store schema, value data texts and the registry database's
// entries, against the fake registry.
#include <gtest/gtest.h>

#include "platform/fake/fake_registry.h"
#include "registry/database_entry.h"
#include "registry/store_schema.h"
#include "registry/value_text.h"
#include "test_support.h"

namespace corvex {
namespace {

using fake::Op;
using testing::FakeSession;
namespace regtype = platform::regtype;

const std::wstring kHex64(64, L'a');
const std::string kHex64Bytes(64, 'a');
std::string Wide(const std::wstring& text) { return ToUtf16Le(text); }

TEST(ValueDataToText, ReadsNoFurtherThanTheSize) {
  struct Case {
    const wchar_t* name;
    uint32_t type;
    std::string data;
    std::wstring text;
  } cases[] = {
      {L"CTS", regtype::kDword, std::string("\x1a\x00\x00\x00", 4), L"1A"},
      {L"CTS", regtype::kDword, std::string("\x1a\x00\x00", 3), L""},  // too short for a DWORD
      {L"v", regtype::kSz, Wide(L"ab") + "c", L"ab"},                  // odd size: whole units only
      {L"v", regtype::kSz, std::string("o\0k\0\0\0x\0", 8), L"ok"},
      {L"S256H", regtype::kBinary, std::string(8, '\0') + "a", L"        a"},
      {L"S256H", regtype::kBinary, std::string(3, '\0') + "a", L""},  // not over 8 bytes: the string form
      {L"p!x", regtype::kBinary, std::string(8, '\0') + std::string("a\0b", 3), std::wstring(8, L' ') + std::wstring(L"a\0b", 3)},
      {L"p!x", regtype::kBinary, std::string(8, '\0'), L""},  // not over 8 bytes: the string form
      {L"MCP_1", regtype::kBinary, std::string("\0a\0", 3), L" a "},
      {L"x", regtype::kMultiSz, Wide(L"a") + std::string(2, '\0') + Wide(L"b"), L"a"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ValueDataToText(c.name, c.data, c.type), c.text) << c.name << " " << c.data.size();
}

TEST(SchemaPattern, WordClassIsPinned) {
  SchemaPattern word(L"^\\w+$");
  EXPECT_TRUE(word.Matches(L"caf\u00e9"));
  EXPECT_FALSE(word.Matches(L"a\u2019s"));
  EXPECT_FALSE(word.Matches(L"junk\nabc"));
}

// The flat file-name pattern accepts exactly what the nested one does, over
// every short name (the hex tail cut to 2 digits so the set stays small).
TEST(SchemaPattern, FlatFileNamePatternEqualsNestedOne) {
  std::wstring nested =
      LR"(^f!([a-z0-9\.-]+|(_)?([a-z0-9-]+_)*([a-z0-9\.-]+(_)?([a-z0-9-]+_)*))+((_lo(c)?)?(_){0,2}[a-f0-9]{2})?$)";
  std::wstring flat = FileValueNamePattern(L"f!");
  flat.replace(flat.find(L"{16}"), 4, L"{2}");
  SchemaPattern a(nested), b(flat);
  const wchar_t alphabet[] = L"clo._";
  size_t compared = 0, matched = 0;
  std::vector<int> digits;
  for (;;) {
    std::wstring name = L"f!";
    for (int d : digits) name += alphabet[d];
    std::wstring failed;
    bool want = a.Matches(name, &failed);
    ASSERT_TRUE(failed.empty()) << failed;
    ASSERT_EQ(b.Matches(name), want) << name;
    ++compared;
    matched += want;
    size_t i = 0;
    while (i < digits.size() && ++digits[i] == 5) digits[i++] = 0;
    if (i == digits.size()) {
      if (digits.size() == 6) break;
      digits.assign(digits.size() + 1, 0);
    }
  }
  EXPECT_GT(matched, 1000u);
  EXPECT_GT(compared - matched, 1000u);
  // The nested form gives up on this one; a pattern that gives up is no match.
  std::wstring hard = L"f!" + std::wstring(20, L'a') + L"!";
  std::wstring failed;
  EXPECT_FALSE(SchemaPattern(LR"(^f!([a-z0-9\.-]+|(_)?([a-z0-9-]+_)*([a-z0-9\.-]+(_)?([a-z0-9-]+_)*))+$)")
                   .Matches(hard, &failed));
  EXPECT_FALSE(failed.empty());
  failed.clear();
  EXPECT_FALSE(SchemaPattern(FileValueNamePattern(L"f!")).Matches(hard, &failed));
  EXPECT_TRUE(failed.empty());
  EXPECT_FALSE(SchemaPattern(L"(unclosed").Matches(L"x", &failed));
  EXPECT_FALSE(failed.empty());
}

struct Value {
  std::wstring name;
  uint32_t type;
  std::string data;
};

const std::wstring kTree = L"COMPONENTS\\DerivedData\\Components\\";
const std::wstring kComponent = L"x86_microsoft-windows-a.b_31bf3856ad364e35_6.1.7601.17514_none_0123456789abcdef";
const std::wstring kFamily = L"x86_microsoft-windows-a.b_31bf3856ad364e35_none_0123456789abcdef";
const std::string kIdentity =
    "Microsoft-Windows-A.B, Culture=neutral, Version=6.1.7601.17514, PublicKeyToken=31bf3856ad364e35, "
    "ProcessorArchitecture=x86";

struct SchemaCase {
  const char* what;
  size_t schema;
  std::wstring key;  // below HKLM
  std::vector<std::pair<std::wstring, Value>> values;  // subkey ("" for the key itself), value
  uint32_t code;
};

uint32_t Validate(FakeSession& f, const SchemaCase& c) {
  auto& reg = f.w.registry();
  reg.AddKey(L"HKLM\\" + c.key);
  for (auto& [sub, v] : c.values)
    reg.SetValue(L"HKLM\\" + c.key + (sub.empty() ? L"" : L"\\" + sub), v.name, v.type, v.data);
  auto key = f.s.os.registry.OpenKey(platform::RootKey::kLocalMachine, c.key, 0x109);
  if (!key.ok()) return 99;
  return ValidateKeyAgainstSchema(f.s, *key, c.key, c.schema);
}

TEST(ValidateKeyAgainstSchema, ResultCodes) {
  const std::wstring catalogs = L"COMPONENTS\\CanonicalData\\Catalogs\\";
  const std::wstring deployment =
      L"COMPONENTS\\CanonicalData\\Deployments\\microsoft-w..-package_31bf3856ad364e35_6.1.7601.17514_0123456789abcdef";
  const std::wstring family = L"COMPONENTS\\DerivedData\\VersionedIndex\\6.1\\ComponentFamilies\\" + kFamily;
  const std::wstring cName = L"c!microsoft-w..-package_31bf3856ad364e35_6.1.7601.17514_0123456789abcdef";
  const std::string s256(32, '\0');
  const SchemaCase cases[] = {
      {"63 hex digits", 0, catalogs + std::wstring(63, L'a'), {}, 1},
      {"empty c! value", 0, catalogs + kHex64, {{L"", {cName, regtype::kBinary, ""}}}, 0},
      {"c! value with data", 0, catalogs + kHex64, {{L"", {cName, regtype::kBinary, "x"}}}, 3},
      {"binary thumbprint", 1, deployment, {{L"", {L"CatalogThumbprint", regtype::kBinary, kHex64Bytes}}}, 4},
      {"thumbprint with NUL", 1, deployment, {{L"", {L"CatalogThumbprint", regtype::kSz, Wide(kHex64) + std::string(2, '\0')}}}, 0},
      {"component", 2, kTree + kComponent,
       {{L"", {L"identity", regtype::kBinary, kIdentity}},
        {L"", {L"S256H", regtype::kBinary, s256}},
        {L"", {L"f!ntdll.dll", regtype::kDword, "\1\0\0\0"}},
        {L"", {L"f!ntdll.dll", regtype::kBinary, std::string(1500, 'a')}},  // longer than the first buffer
        {L"", {L"CF", regtype::kDword, "\0\0\0\0"}}},
       0},
      {"short S256H", 2, kTree + kComponent, {{L"", {L"S256H", regtype::kBinary, std::string(31, '\0')}}}, 3},
      {"no PublicKeyToken", 2, kTree + kComponent,
       {{L"", {L"identity", regtype::kBinary, kIdentity.substr(0, kIdentity.find(", PublicKeyToken"))}}}, 3},
      {"f! name the nested pattern gave up on", 2, kTree + kComponent,
       {{L"", {L"f!" + std::wstring(20, L'a') + L"!", regtype::kDword, "\1\0\0\0"}}}, 4},
      {"256-character value name", 2, kTree + kComponent, {{L"", {L"f!" + std::wstring(254, L'a'), regtype::kDword, "\1\0\0\0"}}}, 2},
      {"family with CT", 3, family, {{L"v!6.1.7601.17514", {L"CT", regtype::kBinary, kHex64Bytes}}}, 0},
      {"extra XYZ", 3, family,
       {{L"v!6.1.7601.17514", {L"CT", regtype::kBinary, kHex64Bytes}}, {L"v!6.1.7601.17514", {L"XYZ", regtype::kBinary, ""}}}, 11},
      {"short S1H", 3, family, {{L"v!6.1.7601.17514", {L"S1H", regtype::kBinary, "nineteen bytes long"}}}, 10},
      {"long subkey value name", 3, family, {{L"v!6.1.7601.17514", {std::wstring(300, L'S'), regtype::kBinary, ""}}}, 9},
      {"unknown subkey", 3, family, {{L"bogus", {L"SF", regtype::kDword, "\0\0\0\0"}}}, 7},
  };
  for (const SchemaCase& c : cases) {
    FakeSession f;
    EXPECT_EQ(Validate(f, c), c.code) << c.what;
    // Only a subkey's data mismatch is written out.
    std::wstring out = f.Utf16File(L"C:\\Users\\Tester\\Desktop\\regOutput.txt");
    EXPECT_EQ(out, c.code == 10 ? L"nineteen bytes long\r\n" : L"") << c.what;
  }
}

TEST(ValidateKeyAgainstSchema, FailedReadsHaveTheirOwnCodes) {
  const std::wstring family = L"COMPONENTS\\DerivedData\\VersionedIndex\\6.1\\ComponentFamilies\\" + kFamily;
  SchemaCase c{"", 3, family, {{L"", {L"SomeUnparsedVersionsExist", regtype::kBinary, ""}},
                               {L"v!6.1.7601.17514", {L"SF", regtype::kDword, "\0\0\0\0"}}}, 0};
  struct Fault {
    Op op;
    const wchar_t* path;
    int skip;
    uint32_t code;
  } faults[] = {
      {Op::kEnumValues, L"", 0, 6},  // the size query
      {Op::kEnumValues, L"", 1, 6},  // the first value: never "conforms"
      {Op::kEnumKeys, L"", 0, 5},
      {Op::kOpenKey, L"v!6.1", 0, 8},
      {Op::kEnumValues, L"v!6.1", 1, 6},
  };
  for (const Fault& fault : faults) {
    FakeSession f;
    f.w.InjectFault(fault.op, fault.path, 5, 1, fault.skip);
    EXPECT_EQ(Validate(f, c), fault.code) << fault.path << fault.skip;
  }
}

TEST(DatabaseEntries, LinesRoundTripWithChildren) {
  struct Case {
    EntryKind kind;
    std::wstring line;
  } cases[] = {
      {EntryKind::kCatalog, L"abc|c!one||c!two"},
      {EntryKind::kCatalog, L"*abc|c!one**def|c!x**ghi|"},
      {EntryKind::kDeployment, L"dep[]Id, Culture=neutral[]" + kHex64 + L"[]p!CBS_x|0102[]s!CBS_y|"},
      {EntryKind::kDeployment, L"dep[]a[]t[]"},
      {EntryKind::kComponent, L"*comp[-]ident[-]00ff[-]c!cat[-]f!a.dll|a.dll|3|10**child[-]i[-]s[-]c"},
      {EntryKind::kVersionedIndexVista, L"fam[-]0[--]f256!a|x#"},
      {EntryKind::kVersionedIndex7, L"fam[-]1[--]f256!a|x#[-]f256!b|y#[--]v!6.1.0.0[-]SF|0[-]CT|ab[--]v!6.1.0.1"},
      {EntryKind::kVersionedIndex8, L"*fam[-]0[--]**fam2[-]0[--][--]f256!x[-]|name"},
  };
  for (const Case& c : cases) {
    auto entry = ParseDatabaseLine(c.kind, c.line);
    ASSERT_TRUE(entry) << c.line;
    EXPECT_EQ(entry->DatabaseLine(), c.line);
    EXPECT_EQ(entry->children.size(), c.line[0] == L'*' ? std::count(c.line.begin(), c.line.end(), L'*') / 2 : 0u)
        << c.line;
    EXPECT_EQ(entry->SchemaResult(), 0u);
    EXPECT_TRUE(entry->Equals(*ParseDatabaseLine(c.kind, c.line)));
  }
  auto seven = ParseDatabaseLine(EntryKind::kVersionedIndex7, L"fam[-]0[--]");
  auto eight = ParseDatabaseLine(EntryKind::kVersionedIndex8, L"fam[-]0[--]");
  EXPECT_TRUE(seven->Differs(*eight));
  EXPECT_TRUE(seven->Differs(*ParseDatabaseLine(EntryKind::kVersionedIndex7, L"fam[-]1[--]")));
}

TEST(DatabaseEntries, MalformedLinesAreSkippedAndCounted) {
  RegistryDatabase db;
  db.Read(EntryKind::kComponent,
          L"good[-]i[-]s[-]c\r\n"
          L"short[-]i[-]s\r\n"                      // too few fields
          L"mark[-]i[-]s[-]c[-]f!a|b|c\r\n"         // a file mark of three fields
          L"*good2[-]i[-]s[-]c**bad\r\n"            // a child with too few fields
          L"\r\n" +
              std::wstring(50, L'*') + L"x[-]i[-]s[-]c\n"
          L"[-]i[-]s[-]c");
  EXPECT_EQ(db.size(), 1u);
  EXPECT_EQ(db.skipped(), 5u);
  EXPECT_EQ(RegistryDatabase().SkippedSentence(L"x"), L"");
}

// Found by name without regard to case, whatever the lines' order, so a
// name with "_" (which the registry sorts after letters) keeps its match.
TEST(DatabaseEntries, FoundByNameThroughTheIndex) {
  RegistryDatabase db;
  db.Read(EntryKind::kCatalog, L"b_x|1\nAB|2\na|3\nab|4\n");
  struct Case {
    const wchar_t* name;
    const wchar_t* line;
  } cases[] = {{L"B_X", L"b_x|1"}, {L"a", L"a|3"}, {L"ab", L"AB|2"}, {L"zz", nullptr}, {L"b", nullptr}};
  for (const Case& c : cases) {
    const RegistryKeyDatabaseEntry* e = db.Find(c.name);
    EXPECT_EQ(e ? e->DatabaseLine() : L"", c.line ? c.line : L"") << c.name;
  }
}

}  // namespace
}  // namespace corvex
