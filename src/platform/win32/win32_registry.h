// The registry through advapi32: keys in the view the caller asks for (the
// program asks for the 64-bit one), key security through SDDL, hives.
#pragma once

#include "platform/win32/windows_api.h"

#include "platform/registry.h"

namespace corvex::win32 {

class Win32Registry : public platform::Registry {
 public:
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
};

}  // namespace corvex::win32
