#include <algorithm>
#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"

namespace corvex::win32 {

namespace {

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, BOOL*);
using RtlNtStatusToDosErrorFn = ULONG(WINAPI*)(LONG);

// GetProcAddress hands back a generic pointer; the detour through void*
// keeps the compiler's function-cast warning quiet.
template <class Fn>
Fn Lookup(const wchar_t* module, const char* name) {
  HMODULE h = GetModuleHandleW(module);
  if (!h) return nullptr;
  void* p = reinterpret_cast<void*>(GetProcAddress(h, name));
  return reinterpret_cast<Fn>(p);
}

Result<HKEY> OpenMachineKey(const std::wstring& subkey) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key);
  if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
  return key;
}

}  // namespace

Result<platform::OsVersion> Win32SystemInfo::Version() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  // GetVersionEx lies to programs without a matching manifest; this does not.
  auto rtlGetVersion = Lookup<RtlGetVersionFn>(L"ntdll", "RtlGetVersion");
  if (!rtlGetVersion) return LastError();
  LONG status = rtlGetVersion(&info);
  if (status < 0) {
    auto toDosError = Lookup<RtlNtStatusToDosErrorFn>(L"ntdll", "RtlNtStatusToDosError");
    ULONG code = toDosError ? toDosError(status) : 0;
    return Error{code ? static_cast<uint32_t>(code) : static_cast<uint32_t>(ERROR_GEN_FAILURE)};
  }
  platform::OsVersion out;
  out.major = info.dwMajorVersion;
  out.minor = info.dwMinorVersion;
  out.build = info.dwBuildNumber;
  out.servicePackMajor = info.wServicePackMajor;
  out.productType = info.wProductType;
  return out;
}

Result<bool> Win32SystemInfo::IsWow64() {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32");
  if (!kernel32) return LastError();
  // Missing before XP SP2, where no process runs under WOW64.
  void* p = reinterpret_cast<void*>(GetProcAddress(kernel32, "IsWow64Process"));
  auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(p);
  if (!isWow64Process) return false;
  BOOL wow64 = FALSE;
  if (!isWow64Process(GetCurrentProcess(), &wow64)) return LastError();
  return wow64 != FALSE;
}

uint16_t Win32SystemInfo::ProcessorArchitecture() {
  // Outside WOW64 the native information is the process's own.
  SYSTEM_INFO info{};
  GetNativeSystemInfo(&info);
  return info.wProcessorArchitecture;
}

Result<std::wstring> Win32SystemInfo::ReadMachineString(const std::wstring& subkey, const std::wstring& name) {
  auto opened = OpenMachineKey(subkey);
  if (!opened) return Error{opened.code()};
  unique_hkey key(*opened);
  // The value may grow between the size query and the read; try again then.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0, size = 0;
    LSTATUS status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
    if (type != REG_SZ && type != REG_EXPAND_SZ) return Error{ERROR_UNSUPPORTED_TYPE};
    std::vector<BYTE> data(size + sizeof(wchar_t), 0);
    DWORD got = size;
    status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, data.data(), &got);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
    if (type != REG_SZ && type != REG_EXPAND_SZ) return Error{ERROR_UNSUPPORTED_TYPE};
    std::wstring value(reinterpret_cast<const wchar_t*>(data.data()), got / sizeof(wchar_t));
    // Stored strings may carry one or more terminating NULs, or none.
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return value;
  }
  return Error{ERROR_MORE_DATA};
}

Result<uint32_t> Win32SystemInfo::ReadMachineDword(const std::wstring& subkey, const std::wstring& name) {
  auto opened = OpenMachineKey(subkey);
  if (!opened) return Error{opened.code()};
  unique_hkey key(*opened);
  DWORD type = 0, value = 0, size = sizeof value;
  LSTATUS status =
      RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
  if (type != REG_DWORD || size != sizeof value) return Error{ERROR_UNSUPPORTED_TYPE};
  return static_cast<uint32_t>(value);
}

Status Win32SystemInfo::MachineKeyExists(const std::wstring& subkey) {
  auto opened = OpenMachineKey(subkey);
  if (!opened) return Error{opened.code()};
  unique_hkey key(*opened);
  return Status::Ok();
}

// ---------------------------------------------------------------------------
namespace {

// A SHA-256 hash object of the AES provider. Hashing needs no keys: no key
// container is opened, nor made for a user who has none.
Status OpenSha256(unique_hcryptprov& prov, unique_hcrypthash& hash) {
  const wchar_t* provider = L"Microsoft Enhanced RSA and AES Cryptographic Provider";
  if (!CryptAcquireContextW(prov.put(), nullptr, provider, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return LastError();
  if (!CryptCreateHash(prov.get(), CALG_SHA_256, 0, 0, hash.put())) return LastError();
  return {};
}

Result<std::vector<uint8_t>> Sha256Value(const unique_hcrypthash& hash) {
  std::vector<uint8_t> digest(32);
  DWORD length = static_cast<DWORD>(digest.size());
  if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest.data(), &length, 0)) return LastError();
  digest.resize(length);
  return digest;
}

}  // namespace

Result<std::vector<uint8_t>> Win32Hasher::Sha256Bytes(const std::string& bytes) {
  unique_hcryptprov prov;
  unique_hcrypthash hash;
  if (Status st = OpenSha256(prov, hash); !st) return Error{st.code()};
  // CryptHashData takes a DWORD count: large inputs go in pieces.
  for (size_t at = 0; at < bytes.size();) {
    DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1u << 30));
    if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(bytes.data() + at), piece, 0)) return LastError();
    at += piece;
  }
  return Sha256Value(hash);
}

Result<std::vector<uint8_t>> Win32Hasher::Sha256File(const std::wstring& path) {
  unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return LastError();

  unique_hcryptprov prov;
  unique_hcrypthash hash;
  if (Status st = OpenSha256(prov, hash); !st) return Error{st.code()};

  std::vector<BYTE> buffer(1 << 20);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return LastError();
    if (read == 0) break;
    if (!CryptHashData(hash.get(), buffer.data(), read, 0)) return LastError();
  }

  return Sha256Value(hash);
}

}  // namespace corvex::win32
