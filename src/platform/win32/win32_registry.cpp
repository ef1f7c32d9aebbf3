#include "platform/win32/win32_registry.h"

#include <sddl.h>

#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"

namespace corvex::win32 {

using platform::Error;
using platform::RegistryKey;
using platform::RegistryValue;
using platform::Result;
using platform::RootKey;
using platform::Status;

namespace {

HKEY RootHandle(RootKey root) { return reinterpret_cast<HKEY>(static_cast<uintptr_t>(static_cast<uint32_t>(root))); }

HKEY Raw(const RegistryKey& key) { return reinterpret_cast<HKEY>(key.get()); }

Status FromStatus(LSTATUS status) {
  if (status == ERROR_SUCCESS) return Status::Ok();
  return Error{static_cast<uint32_t>(status)};
}

}  // namespace

Result<RegistryKey> Win32Registry::OpenKey(RootKey root, const std::wstring& subkey, uint32_t access) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(RootHandle(root), subkey.empty() ? nullptr : subkey.c_str(), 0, access, &key);
  if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
  return RegistryKey(this, reinterpret_cast<uintptr_t>(key));
}

Result<RegistryKey> Win32Registry::CreateKey(RootKey root, const std::wstring& subkey, uint32_t access) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(RootHandle(root), subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                   nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
  return RegistryKey(this, reinterpret_cast<uintptr_t>(key));
}

Status Win32Registry::DeleteKey(RootKey root, const std::wstring& subkey) {
  // RegDeleteKeyExW is missing from XP-era advapi32 headers' view only; the
  // program needs Vista, where it exists.
  return FromStatus(RegDeleteKeyExW(RootHandle(root), subkey.c_str(), KEY_WOW64_64KEY, 0));
}

Result<std::vector<std::wstring>> Win32Registry::SubKeyNames(const RegistryKey& key) {
  std::vector<std::wstring> names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];  // key names are at most 255 characters
    DWORD length = 256;
    LSTATUS status = RegEnumKeyExW(Raw(key), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return names;
    if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
    names.emplace_back(name, length);
  }
}

Result<std::vector<RegistryValue>> Win32Registry::Values(const RegistryKey& key) {
  DWORD maxName = 0, maxData = 0;
  LSTATUS status = RegQueryInfoKeyW(Raw(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                                    &maxData, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
  std::vector<RegistryValue> values;
  std::vector<wchar_t> name(maxName + 2);
  std::vector<BYTE> data(maxData + 2);
  for (DWORD index = 0;;) {
    DWORD nameLength = static_cast<DWORD>(name.size()), dataSize = static_cast<DWORD>(data.size()), type = 0;
    status = RegEnumValueW(Raw(key), index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) return values;
    if (status == ERROR_MORE_DATA) {
      // A value grew or appeared since the size query.
      name.resize(name.size() * 2 + 256);
      data.resize(data.size() * 2 + 256);
      continue;
    }
    if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
    values.push_back(RegistryValue{std::wstring(name.data(), nameLength), type,
                                   std::string(reinterpret_cast<const char*>(data.data()), dataSize)});
    ++index;
  }
}

Result<platform::KeyInfo> Win32Registry::QueryKeyInfo(const RegistryKey& key) {
  DWORD subKeys = 0, maxSubKey = 0, values = 0, maxName = 0, maxData = 0;
  LSTATUS status = RegQueryInfoKeyW(Raw(key), nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr, &values,
                                    &maxName, &maxData, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
  return platform::KeyInfo{subKeys, maxSubKey, values, maxName, maxData};
}

Status Win32Registry::EnumValue(const RegistryKey& key, uint32_t index, uint32_t nameCapacity, uint32_t dataCapacity,
                                RegistryValue& value) {
  // Resizing within the strings' capacity does not allocate.
  value.name.resize(nameCapacity == 0 ? 1 : nameCapacity);
  value.data.resize(dataCapacity == 0 ? 1 : dataCapacity);
  DWORD nameLength = nameCapacity, dataSize = dataCapacity, type = 0;
  LSTATUS status = RegEnumValueW(Raw(key), index, &value.name[0], &nameLength, nullptr, &type,
                                 reinterpret_cast<BYTE*>(&value.data[0]), &dataSize);
  if (status != ERROR_SUCCESS) {
    value.name.clear();
    value.data.clear();
    return Error{static_cast<uint32_t>(status)};
  }
  value.name.resize(nameLength);
  value.data.resize(dataSize);
  value.type = type;
  return Status::Ok();
}

Result<RegistryValue> Win32Registry::QueryValue(const RegistryKey& key, const std::wstring& name) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0, size = 0;
    LSTATUS status = RegQueryValueExW(Raw(key), name.c_str(), nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
    std::vector<BYTE> data(size + 2);
    DWORD got = size;
    status = RegQueryValueExW(Raw(key), name.c_str(), nullptr, &type, data.data(), &got);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
    return RegistryValue{name, type, std::string(reinterpret_cast<const char*>(data.data()), got)};
  }
  return Error{ERROR_MORE_DATA};
}

Status Win32Registry::SetValue(const RegistryKey& key, const RegistryValue& value) {
  return FromStatus(RegSetValueExW(Raw(key), value.name.c_str(), 0, value.type,
                                   reinterpret_cast<const BYTE*>(value.data.data()),
                                   static_cast<DWORD>(value.data.size())));
}

Status Win32Registry::DeleteValue(const RegistryKey& key, const std::wstring& name) {
  return FromStatus(RegDeleteValueW(Raw(key), name.c_str()));
}

Result<std::string> Win32Registry::GetKeySecurity(const RegistryKey& key, uint32_t information) {
  std::vector<char> buffer(4096);
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    LSTATUS status = RegGetKeySecurity(Raw(key), information, buffer.data(), &size);
    if (status == ERROR_INSUFFICIENT_BUFFER && size > buffer.size()) {
      buffer.resize(size);
      continue;
    }
    if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
    return std::string(buffer.data(), GetSecurityDescriptorLength(buffer.data()));
  }
}

Status Win32Registry::SetKeySecurity(const RegistryKey& key, uint32_t information, const std::string& descriptor) {
  std::vector<char> copy(descriptor.begin(), descriptor.end());
  if (copy.empty() || !IsValidSecurityDescriptor(copy.data())) return Error{ERROR_INVALID_SECURITY_DESCR};
  return FromStatus(RegSetKeySecurity(Raw(key), information, copy.data()));
}

Result<std::wstring> Win32Registry::DescriptorToSddl(const std::string& descriptor, uint32_t information) {
  std::vector<char> copy(descriptor.begin(), descriptor.end());
  if (copy.empty() || !IsValidSecurityDescriptor(copy.data())) return Error{ERROR_INVALID_SECURITY_DESCR};
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(copy.data(), SDDL_REVISION_1, information, &text,
                                                            nullptr))
    return LastError();
  unique_local<wchar_t> held(text);
  return std::wstring(text);
}

Result<std::string> Win32Registry::SddlToDescriptor(const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, &size))
    return LastError();
  unique_local<void> held(descriptor);
  return std::string(static_cast<const char*>(descriptor), size);
}

Status Win32Registry::LoadHive(const std::wstring& name, const std::wstring& file) {
  return FromStatus(RegLoadKeyW(HKEY_LOCAL_MACHINE, name.c_str(), file.c_str()));
}

Status Win32Registry::UnloadHive(const std::wstring& name) {
  return FromStatus(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, name.c_str()));
}

Status Win32Registry::CloseKey(uintptr_t value) { return FromStatus(RegCloseKey(reinterpret_cast<HKEY>(value))); }

}  // namespace corvex::win32
