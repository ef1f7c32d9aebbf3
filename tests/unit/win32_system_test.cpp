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

TEST(Win32SystemInfo, VersionAgreesWithTheRegistryAndMissingValuesAre2) {
  Win32SystemInfo sys;
  auto read = sys.Version();
  ASSERT_TRUE(read.ok()) << read.code();
  platform::OsVersion v = *read;
  EXPECT_GE(v.major, 6u);
  EXPECT_GT(v.build, 0u);
  auto build = sys.ReadMachineString(kCurrentVersion, L"CurrentBuildNumber");
  ASSERT_TRUE(build.ok()) << build.code();
  EXPECT_EQ(std::to_wstring(v.build), *build);
  // Missing keys and values are error 2.
  EXPECT_TRUE(sys.MachineKeyExists(kCurrentVersion).ok());
  EXPECT_EQ(sys.MachineKeyExists(L"SOFTWARE\\Corvex No Such Key").code(), 2u);
  EXPECT_EQ(sys.ReadMachineString(L"SOFTWARE\\Corvex No Such Key", L"x").code(), 2u);
  EXPECT_EQ(sys.ReadMachineString(kCurrentVersion, L"Corvex No Such Value").code(), 2u);
  EXPECT_EQ(sys.ReadMachineDword(kCurrentVersion, L"Corvex No Such Value").code(), 2u);
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

const wchar_t kHashProvider[] = L"Microsoft Enhanced RSA and AES Cryptographic Provider";

// Whether this user has a default key container with the hashing provider.
bool HasDefaultKeyContainer() {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, nullptr, kHashProvider, PROV_RSA_AES, 0)) return false;
  CryptReleaseContext(prov, 0);
  return true;
}

// Digests computed independently with sha256sum. Byte i of a pattern is
// (i * 31 + 7) mod 256; the large one spans three 1 MiB reads and a bit.
// Hashing needs no key container and makes none.
TEST(Win32Hasher, Sha256OfKnownContentsWithoutAKeyContainer) {
  if (UnderWine()) {
    // A prefix of the tests' own: start from a user without one.
    HCRYPTPROV gone = 0;
    CryptAcquireContextW(&gone, nullptr, kHashProvider, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  }
  const bool before = HasDefaultKeyContainer();
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  auto pattern = [](size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 31 + 7) % 256);
    return out;
  };
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
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
  EXPECT_EQ(HasDefaultKeyContainer(), before);
}

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// The pending renames of the machine, put back as they were after the test:
// a rename left behind would be carried out at the prefix's next start.
class SavedMultiString {
 public:
  SavedMultiString() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key)) return;
    DWORD type = 0, size = 0;
    if (!RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size)) {
      data_.resize(size);
      existed_ = !RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, data_.data(), &size);
    }
    RegCloseKey(key);
  }
  ~SavedMultiString() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key)) return;
    if (existed_)
      RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ, data_.data(),
                     static_cast<DWORD>(data_.size()));
    else
      RegDeleteValueW(key, L"PendingFileRenameOperations");
    RegCloseKey(key);
  }

 private:
  bool existed_ = false;
  std::vector<BYTE> data_;
};

TEST(Win32Replace, APendedRenameIsListedInItsNtFormWithTheReplaceMark) {
  SavedMultiString keep;
  TempFolder tmp;
  ASSERT_TRUE(tmp.ok());
  Win32FileSystem fs;
  ASSERT_TRUE(fs.WriteFile(tmp / L"staged", "new", false));
  ASSERT_TRUE(fs.PendRename(tmp / L"staged", tmp / L"target.dll"));
  Win32SystemInfo sys;
  auto list = sys.ReadMachineMultiString(kSessionManager, L"PendingFileRenameOperations");
  ASSERT_TRUE(list.ok()) << list.code();
  ASSERT_GE(list->size(), 2u);
  // Source and target come in pairs; ours is the last pair.
  EXPECT_EQ(list->size() % 2, 0u);
  EXPECT_EQ((*list)[list->size() - 2], L"\\??\\" + (tmp / L"staged"));
  EXPECT_EQ((*list)[list->size() - 1], L"!\\??\\" + (tmp / L"target.dll"));
}

TEST_F(Win32RegistryValues, MachineValuesAreWrittenOnlyIntoKeysThatExist) {
  platform::RegistryStep step = platform::RegistryStep::kSetValue;
  EXPECT_EQ(sys.SetMachineDword(L"SOFTWARE\\CorvexNoSuchKey", L"V", 1, step).code(), 2u);
  EXPECT_EQ(step, platform::RegistryStep::kOpenKey);
  ASSERT_TRUE(sys.SetMachineDword(subkey, L"Allow", 1, step));
  ASSERT_TRUE(sys.SetMachineString(subkey, L"Run", L"\"C:\\a b\\x.exe\" \"C:\\c d\\s\"", step));
  EXPECT_EQ(*sys.ReadMachineDword(subkey, L"Allow"), 1u);
  EXPECT_EQ(*sys.ReadMachineString(subkey, L"Run"), L"\"C:\\a b\\x.exe\" \"C:\\c d\\s\"");
}

// The machine a PE image is built for (0x14c i386, 0x8664 x86-64), or 0
// when the file cannot be read as one.
uint16_t ImageMachine(Win32FileSystem& fs, const std::wstring& path) {
  auto bytes = fs.ReadFile(path);
  if (!bytes.ok() || bytes->size() < 0x40) return 0;
  const std::string& b = *bytes;
  auto at = [&b](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(b[i])); };
  const size_t pe = at(0x3c) | at(0x3d) << 8 | at(0x3e) << 16 | at(0x3f) << 24;
  if (pe > b.size() - 6 || b.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return 0;
  return static_cast<uint16_t>(at(pe + 4) | at(pe + 5) << 8);
}

// With redirection off, System32 is the native folder that Sysnative names
// with it on; the revert brings the 32-bit view back. Judged by the image
// type rather than by file identity: a prefix update that rewrites the
// system DLLs while the test runs changes their identity, not their type.
TEST(Win32Replace, RedirectionOffShowsTheNativeSystemFolder) {
  Win32SystemInfo sys;
  Win32FileSystem fs;
  auto wow64 = sys.IsWow64();
  ASSERT_TRUE(wow64.ok());
  if (!*wow64) {
    EXPECT_FALSE(sys.DisableFsRedirection().ok());
    return;
  }
  constexpr uint16_t kI386 = 0x14c, kAmd64 = 0x8664;
  wchar_t windows[MAX_PATH] = {};
  ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  const std::wstring system32 = std::wstring(windows) + L"\\System32\\kernel32.dll";
  const std::wstring sysnative = std::wstring(windows) + L"\\Sysnative\\kernel32.dll";
  ASSERT_EQ(ImageMachine(fs, sysnative), kAmd64);
  ASSERT_EQ(ImageMachine(fs, system32), kI386);
  auto previous = sys.DisableFsRedirection();
  ASSERT_TRUE(previous.ok()) << previous.code();
  const uint16_t off = ImageMachine(fs, system32);
  ASSERT_TRUE(sys.RevertFsRedirection(*previous));
  EXPECT_EQ(off, kAmd64);
  EXPECT_EQ(ImageMachine(fs, system32), kI386);
}

TEST(Win32Volumes, DriveTypesAndTheShadowCopiesThatExist) {
  Win32SystemInfo sys;
  // The system drive is fixed; a letter without a drive has no root.
  EXPECT_EQ(sys.DriveType(L'C'), platform::DriveKind::kFixed);
  wchar_t unused = 0;
  for (wchar_t d = L'Y'; d > L'C' && !unused; --d) {
    if (!(GetLogicalDrives() & (1u << (d - L'A')))) unused = d;
  }
  if (unused) {
    EXPECT_EQ(sys.DriveType(unused), platform::DriveKind::kNoRoot);
  }
  // The \Device folder can be listed; the numbers come sorted, each once.
  // Wine cannot list it (error 1): the analysis then traces the failure
  // and has no shadow copies to search, as Wine has none.
  auto numbers = sys.ShadowCopyNumbers();
  if (UnderWine() && !numbers.ok()) {
    EXPECT_EQ(numbers.code(), 1u);
    return;
  }
  ASSERT_TRUE(numbers.ok()) << numbers.code();
  for (size_t i = 1; i < numbers->size(); ++i) EXPECT_LT((*numbers)[i - 1], (*numbers)[i]);
}

}  // namespace
}  // namespace corvex::win32

#endif  // _WIN32
