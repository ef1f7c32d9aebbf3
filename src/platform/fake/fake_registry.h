// The fake Windows' registry: a tree of keys under the five roots, with
// typed values in the order they were made, subkeys in the order Windows
// enumerates them, an owner and a DACL on every key checked like the file
// model's, hives loaded from files of the fake's own format, and an emulated
// reg.exe for EXPORT and IMPORT of the registry-file forms the tests use.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/fake/fake_windows.h"
#include "platform/registry.h"

namespace corvex::fake {

// One key block of a registry file.
struct RegFileValue {
  std::wstring name;  // empty: the default value ("@")
  bool remove = false;
  platform::RegistryValue value;
};
struct RegFileBlock {
  std::wstring key;  // without the brackets and the "-"
  bool remove = false;
  std::vector<RegFileValue> values;
};
// Parses registry-file text ("Windows Registry Editor Version 5.00" or
// "REGEDIT4" first, then key blocks; "\" at a line's end continues it).
// False, with what was read so far, at the first line it cannot read.
bool ParseRegFile(const std::wstring& text, std::vector<RegFileBlock>& blocks);
// A value line as reg.exe exports it, continuation lines included.
std::wstring RegFileValueLine(const platform::RegistryValue& value);

struct FakeRegKey {
  std::wstring name;
  // Keyed by the upper-case name: the order RegEnumKeyEx gives.
  std::map<std::wstring, std::unique_ptr<FakeRegKey>> subkeys;
  std::vector<platform::RegistryValue> values;
  std::wstring owner;  // string SID
  std::wstring dacl;   // "D:" + flags + ACEs
};

class FakeRegistry : public platform::Registry {
 public:
  static constexpr wchar_t kDefaultDacl[] = L"D:AI(A;CIID;KA;;;BA)(A;CIID;KA;;;SY)(A;CIID;KR;;;BU)";
  // What Windows gives its servicing keys: TrustedInstaller may do
  // anything, administrators only read.
  static constexpr wchar_t kProtectedDacl[] =
      L"D:PAI(A;CI;KA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
      L"(A;CI;KR;;;BA)(A;CI;KR;;;SY)";
  // First line of a hive file of the fake; the rest, up to a NUL if there
  // is one, is registry-file text whose key paths are relative to the
  // hive's root ("[]" is the root).
  static constexpr char kHiveMagic[] = "CORVEX FAKE HIVE\r\n";

  explicit FakeRegistry(FakeWindows& w);
  ~FakeRegistry() override;

  // --- Test set-up and inspection (paths with a long or short root) ------
  void AddKey(const std::wstring& path);
  void SetValue(const std::wstring& path, const std::wstring& name, uint32_t type, const std::string& data);
  void SetString(const std::wstring& path, const std::wstring& name, const std::wstring& text);
  void SetDword(const std::wstring& path, const std::wstring& name, uint32_t value);
  bool KeyExists(const std::wstring& path) const;
  const platform::RegistryValue* Value(const std::wstring& path, const std::wstring& name) const;
  // "O:" + owner (alias where SDDL has one) + DACL; empty when missing.
  std::wstring SecurityOf(const std::wstring& path) const;
  void SetSecurity(const std::wstring& path, const std::wstring& owner, const std::wstring& dacl);
  // Gives the key TrustedInstaller's ownership and kProtectedDacl.
  void Protect(const std::wstring& path);
  // Writes a hive file of the fake's format to the file system.
  void WriteHiveFile(const std::wstring& file, const std::wstring& regText);
  size_t OpenKeys() const { return handles_.size(); }
  // Hives loaded, by key name under HKEY_LOCAL_MACHINE -> file.
  std::map<std::wstring, std::wstring> loadedHives;
  // Command lines reg.exe was started with.
  std::vector<std::wstring> regCommands;

  // Registers the emulated reg.exe (done by FakeWindows).
  void InstallRegExe();
  platform::ProcessOutcome RunReg(const platform::ProcessRequest& request);

  // --- platform::Registry --------------------------------------------------
  platform::Result<platform::RegistryKey> OpenKey(platform::RootKey root, const std::wstring& subkey,
                                                  uint32_t access) override;
  platform::Result<platform::RegistryKey> CreateKey(platform::RootKey root, const std::wstring& subkey,
                                                    uint32_t access) override;
  platform::Status DeleteKey(platform::RootKey root, const std::wstring& subkey) override;
  platform::Result<std::vector<std::wstring>> SubKeyNames(const platform::RegistryKey& key) override;
  platform::Result<std::vector<platform::RegistryValue>> Values(const platform::RegistryKey& key) override;
  platform::Result<platform::KeyInfo> QueryKeyInfo(const platform::RegistryKey& key) override;
  platform::Status EnumValue(const platform::RegistryKey& key, uint32_t index, uint32_t nameCapacity,
                             uint32_t dataCapacity, platform::RegistryValue& value) override;
  platform::Result<platform::RegistryValue> QueryValue(const platform::RegistryKey& key,
                                                       const std::wstring& name) override;
  platform::Status SetValue(const platform::RegistryKey& key, const platform::RegistryValue& value) override;
  platform::Status DeleteValue(const platform::RegistryKey& key, const std::wstring& name) override;
  platform::Result<std::string> GetKeySecurity(const platform::RegistryKey& key, uint32_t information) override;
  platform::Status SetKeySecurity(const platform::RegistryKey& key, uint32_t information,
                                  const std::string& descriptor) override;
  platform::Result<std::wstring> DescriptorToSddl(const std::string& descriptor, uint32_t information) override;
  platform::Result<std::string> SddlToDescriptor(const std::wstring& sddl) override;
  platform::Status LoadHive(const std::wstring& name, const std::wstring& file) override;
  platform::Status UnloadHive(const std::wstring& name) override;
  platform::Status CloseKey(uintptr_t value) override;

 private:
  struct Handle {
    platform::RootKey root;
    std::vector<std::wstring> path;  // components below the root
    uint32_t granted;
    // The key and its full path as last looked up, good while no key has
    // been removed since (`generation`), so that a walk over many values
    // does not look the key up for each.
    FakeRegKey* key = nullptr;
    std::wstring shown{};
    uint64_t generation = 0;
  };
  FakeRegKey* Cached(Handle& h);
  FakeRegKey* Root(platform::RootKey root);
  FakeRegKey* Walk(platform::RootKey root, const std::vector<std::wstring>& path);
  const FakeRegKey* Find(const std::wstring& fullPath) const;
  FakeRegKey* MakeChain(platform::RootKey root, const std::vector<std::wstring>& path, bool checked, uint32_t& code);
  FakeRegKey* Resolve(const platform::RegistryKey& key, uint32_t need, uint32_t& code, std::wstring& shown);
  bool Grants(const FakeRegKey& key, uint32_t desired) const;
  uint32_t Fault(Op op, platform::RootKey root, const std::vector<std::wstring>& path);
  uint32_t Apply(const RegFileBlock& block, const std::wstring& hiveRoot);

  FakeWindows& w_;
  std::map<platform::RootKey, FakeRegKey> roots_;
  std::map<uintptr_t, Handle> handles_;
  uintptr_t nextHandle_ = 0x1000;
  uint64_t removals_ = 1;  // counts key removals; a handle's cache is good while it matches
};

// "HKLM\X" or "HKEY_LOCAL_MACHINE\X" -> the root and the components below it.
bool SplitKeyPath(const std::wstring& path, platform::RootKey& root, std::vector<std::wstring>& components);
std::wstring RootName(platform::RootKey root);

}  // namespace corvex::fake
