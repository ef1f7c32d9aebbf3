#ifdef _WIN32

#include <gtest/gtest.h>

#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"
#include "win32_test_support.h"

namespace corvex::win32 {
namespace {

using testing::TempFolder;

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kTestKey[] = L"SOFTWARE\\CorvexReplaceTest";

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

TEST(Win32Replace, MachineValuesAreWrittenOnlyIntoKeysThatExist) {
  Win32SystemInfo sys;
  platform::RegistryStep step = platform::RegistryStep::kSetValue;
  EXPECT_EQ(sys.SetMachineDword(L"SOFTWARE\\CorvexNoSuchKey", L"V", 1, step).code(), 2u);
  EXPECT_EQ(step, platform::RegistryStep::kOpenKey);

  HKEY raw = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                            &raw, nullptr),
            ERROR_SUCCESS);
  unique_hkey key(raw);
  ASSERT_TRUE(sys.SetMachineDword(kTestKey, L"Allow", 1, step));
  ASSERT_TRUE(sys.SetMachineString(kTestKey, L"Run", L"\"C:\\a b\\x.exe\" \"C:\\c d\\s\"", step));
  EXPECT_EQ(*sys.ReadMachineDword(kTestKey, L"Allow"), 1u);
  EXPECT_EQ(*sys.ReadMachineString(kTestKey, L"Run"), L"\"C:\\a b\\x.exe\" \"C:\\c d\\s\"");
  key.reset();
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kTestKey, KEY_WOW64_64KEY, 0);
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

}  // namespace
}  // namespace corvex::win32

#endif
