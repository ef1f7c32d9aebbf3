#ifdef _WIN32

#include <gtest/gtest.h>

#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

using testing::Hex;
using testing::RawWrite;
using testing::TempFolder;
using testing::UnderWine;

const wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

TEST(Win32SystemInfo, VersionAgreesWithTheRegistry) {
  Win32SystemInfo sys;
  auto read = sys.Version();
  ASSERT_TRUE(read.ok()) << read.code();
  platform::OsVersion v = *read;
  EXPECT_GE(v.major, 6u);
  EXPECT_GT(v.build, 0u);
  EXPECT_GE(v.productType, 1);
  EXPECT_LE(v.productType, 3);
  auto build = sys.ReadMachineString(kCurrentVersion, L"CurrentBuildNumber");
  ASSERT_TRUE(build.ok()) << build.code();
  EXPECT_EQ(std::to_wstring(v.build), *build);
  // Windows 10 and later also keep the version numbers as DWORDs.
  auto major = sys.ReadMachineDword(kCurrentVersion, L"CurrentMajorVersionNumber");
  if (major.ok()) {
    EXPECT_EQ(*major, v.major);
  }
}

TEST(Win32SystemInfo, ArchitectureOfThisBuild) {
  Win32SystemInfo sys;
  auto wow64 = sys.IsWow64();
  ASSERT_TRUE(wow64.ok()) << wow64.code();
#ifdef _WIN64
  EXPECT_FALSE(*wow64);
  EXPECT_EQ(sys.ProcessorArchitecture(), PROCESSOR_ARCHITECTURE_AMD64);
#else
  // A 32-bit program sees the native architecture exactly when under WOW64.
  if (*wow64)
    EXPECT_NE(sys.ProcessorArchitecture(), PROCESSOR_ARCHITECTURE_INTEL);
  else
    EXPECT_EQ(sys.ProcessorArchitecture(), PROCESSOR_ARCHITECTURE_INTEL);
#endif
}

TEST(Win32SystemInfo, MissingKeysAndValuesAreError2) {
  Win32SystemInfo sys;
  EXPECT_TRUE(sys.MachineKeyExists(kCurrentVersion).ok());
  EXPECT_EQ(sys.MachineKeyExists(L"SOFTWARE\\Corvex No Such Key").code(), 2u);
  EXPECT_EQ(sys.ReadMachineString(L"SOFTWARE\\Corvex No Such Key", L"x").code(), 2u);
  EXPECT_EQ(sys.ReadMachineString(kCurrentVersion, L"Corvex No Such Value").code(), 2u);
  EXPECT_EQ(sys.ReadMachineDword(kCurrentVersion, L"Corvex No Such Value").code(), 2u);
}

// Values written under a private key to see exactly what comes back.
class Win32RegistryValues : public ::testing::Test {
 protected:
  const std::wstring subkey = L"SOFTWARE\\CorvexBackendTest";

  void SetUp() override {
    LSTATUS s = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                nullptr, key.put(), nullptr);
    if (s == ERROR_ACCESS_DENIED) GTEST_SKIP() << "needs an elevated run";
    ASSERT_EQ(s, ERROR_SUCCESS);
  }
  void TearDown() override {
    key.reset();
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), KEY_WOW64_64KEY, 0);
  }
  void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }

  unique_hkey key;
  Win32SystemInfo sys;
};

TEST_F(Win32RegistryValues, StringsLoseTheirTrailingNulsWhateverTheirCount) {
  Set(L"one", REG_SZ, L"text", 5 * sizeof(wchar_t));
  Set(L"none", REG_SZ, L"bare", 4 * sizeof(wchar_t));
  Set(L"many", REG_SZ, L"pad\0\0\0", 7 * sizeof(wchar_t));
  Set(L"expand", REG_EXPAND_SZ, L"%SystemRoot%\\x", 15 * sizeof(wchar_t));
  Set(L"empty", REG_SZ, L"", 0);
  EXPECT_EQ(sys.ReadMachineString(subkey, L"one").value_or(L"?"), L"text");
  EXPECT_EQ(sys.ReadMachineString(subkey, L"none").value_or(L"?"), L"bare");
  EXPECT_EQ(sys.ReadMachineString(subkey, L"many").value_or(L"?"), L"pad");
  // Expandable strings come back as stored, not expanded.
  EXPECT_EQ(sys.ReadMachineString(subkey, L"expand").value_or(L"?"), L"%SystemRoot%\\x");
  EXPECT_EQ(sys.ReadMachineString(subkey, L"empty").value_or(L"?"), L"");
  std::wstring big(3000, L'k');
  Set(L"big", REG_SZ, big.c_str(), static_cast<DWORD>((big.size() + 1) * sizeof(wchar_t)));
  EXPECT_EQ(sys.ReadMachineString(subkey, L"big").value_or(L"?"), big);
}

TEST_F(Win32RegistryValues, DwordsAreReadAndTypesAreChecked) {
  DWORD value = 0xC0FFEE;
  Set(L"number", REG_DWORD, &value, sizeof value);
  Set(L"word", REG_SZ, L"12", 3 * sizeof(wchar_t));
  EXPECT_EQ(sys.ReadMachineDword(subkey, L"number").value_or(0), 0xC0FFEEu);
  auto wrongType = sys.ReadMachineDword(subkey, L"word");
  EXPECT_FALSE(wrongType.ok());
  EXPECT_NE(wrongType.code(), 2u);
  auto notString = sys.ReadMachineString(subkey, L"number");
  EXPECT_FALSE(notString.ok());
  EXPECT_NE(notString.code(), 2u);
}

// Digests computed independently with sha256sum. Byte i of a pattern is
// (i * 31 + 7) mod 256; the large one spans three 1 MiB reads and a bit.
TEST(Win32Hasher, Sha256OfKnownContents) {
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  auto pattern = [](size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 31 + 7) % 256);
    return out;
  };
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {pattern(3000), "8b5fc0e9b559acd86a49017943707c53e283f26bb629cb20bce913bac9975c21"},
      {pattern((3 << 20) + 17), "27f3f0120d4a72b66e7b58152c631644bd689231ebd4487469b59226f1be13af"},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(bytes.size());
    ASSERT_TRUE(RawWrite(tmp / L"f.bin", bytes));
    auto digest = Win32Hasher().Sha256File(tmp / L"f.bin");
    ASSERT_TRUE(digest.ok()) << std::hex << digest.code();
    EXPECT_EQ(Hex(*digest), expected);
  }
  EXPECT_EQ(Win32Hasher().Sha256File(tmp / L"missing.bin").code(), 2u);
  EXPECT_EQ(Win32Hasher().Sha256File(tmp / L"nofolder\\missing.bin").code(), 3u);
}

// Whether this user has a default key container with the hashing provider.
bool HasDefaultKeyContainer() {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, nullptr, L"Microsoft Enhanced RSA and AES Cryptographic Provider", PROV_RSA_AES,
                            0))
    return false;
  CryptReleaseContext(prov, 0);
  return true;
}

TEST(Win32Hasher, HashingNeedsNoKeyContainerAndMakesNone) {
  if (UnderWine()) {
    // A prefix of the tests' own: start from a user without one.
    HCRYPTPROV gone = 0;
    CryptAcquireContextW(&gone, nullptr, L"Microsoft Enhanced RSA and AES Cryptographic Provider", PROV_RSA_AES,
                         CRYPT_DELETEKEYSET);
  }
  bool before = HasDefaultKeyContainer();
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  ASSERT_TRUE(RawWrite(tmp / L"abc.txt", "abc"));
  auto abc = Win32Hasher().Sha256File(tmp / L"abc.txt");
  ASSERT_TRUE(abc.ok()) << std::hex << abc.code();
  EXPECT_EQ(Hex(*abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HasDefaultKeyContainer(), before);
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
