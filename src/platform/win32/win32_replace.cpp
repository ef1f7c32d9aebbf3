// What replacing a file in use asks of Windows: file identity, hard links,
// renames pended until the next start, the Session Manager and RunOnce
// values, WOW64 file-system redirection, the message box and the restart.
#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"

namespace corvex::win32 {

Result<platform::FileIdentity> Win32FileSystem::Identity(const std::wstring& path) {
  // No access rights needed, and backup semantics so that folders open too.
  unique_hfile file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return LastError();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info)) return LastError();
  platform::FileIdentity id;
  id.volumeSerial = info.dwVolumeSerialNumber;
  id.fileIndex = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return id;
}

Status Win32FileSystem::AddHardLink(const std::wstring& newName, const std::wstring& existing) {
  if (!CreateHardLinkW(newName.c_str(), existing.c_str(), nullptr)) return LastError();
  return Status::Ok();
}

Status Win32FileSystem::PendRename(const std::wstring& from, const std::wstring& to) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
    return LastError();
  return Status::Ok();
}

void Win32Console::ShowMessage(const std::wstring& title, const std::wstring& text) {
  MessageBoxW(nullptr, text.c_str(), title.c_str(), MB_OK);
}

Result<std::vector<std::wstring>> Win32SystemInfo::ReadMachineMultiString(const std::wstring& subkey,
                                                                          const std::wstring& name) {
  HKEY raw = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &raw);
  if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
  unique_hkey key(raw);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0, size = 0;
    status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
    if (type != REG_MULTI_SZ) return Error{ERROR_UNSUPPORTED_TYPE};
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    DWORD got = size;
    status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
    // Strings end at NULs; the list ends at the data's end. Empty strings
    // inside the list stay (a pended deletion's target is one).
    std::vector<std::wstring> out;
    size_t count = got / sizeof(wchar_t);
    while (count > 0 && data[count - 1] == L'\0') --count;
    size_t start = 0;
    for (size_t i = 0; i <= count; ++i) {
      if (i == count || data[i] == L'\0') {
        out.emplace_back(data.data() + start, i - start);
        start = i + 1;
      }
    }
    if (count == 0) out.clear();
    return out;
  }
  return Error{ERROR_MORE_DATA};
}

namespace {

// Opens an existing key for writing in the 64-bit view; never creates one.
uint32_t OpenForWrite(const std::wstring& subkey, unique_hkey& key) {
  HKEY raw = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &raw);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  key = unique_hkey(raw);
  return 0;
}

Status SetValue(const std::wstring& subkey, const std::wstring& name, DWORD type, const BYTE* data, DWORD size,
                platform::RegistryStep& failedAt) {
  failedAt = platform::RegistryStep::kOpenKey;
  unique_hkey key;
  if (uint32_t code = OpenForWrite(subkey, key)) return Error{code};
  failedAt = platform::RegistryStep::kSetValue;
  LSTATUS status = RegSetValueExW(key.get(), name.c_str(), 0, type, data, size);
  if (status != ERROR_SUCCESS) return Error{static_cast<uint32_t>(status)};
  return Status::Ok();
}

}  // namespace

Status Win32SystemInfo::SetMachineDword(const std::wstring& subkey, const std::wstring& name, uint32_t value,
                                        platform::RegistryStep& failedAt) {
  DWORD data = value;
  return SetValue(subkey, name, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data, failedAt);
}

Status Win32SystemInfo::SetMachineString(const std::wstring& subkey, const std::wstring& name,
                                         const std::wstring& value, platform::RegistryStep& failedAt) {
  DWORD size = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return SetValue(subkey, name, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), size, failedAt);
}

namespace {
using Wow64DisableFn = BOOL(WINAPI*)(PVOID*);
using Wow64RevertFn = BOOL(WINAPI*)(PVOID);

template <class Fn>
Fn Kernel32Function(const char* name) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32");
  return kernel32 ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel32, name))) : nullptr;
}
}  // namespace

// Looked up at run time: Windows without WOW64 support may lack the calls.
Result<uintptr_t> Win32SystemInfo::DisableFsRedirection() {
  static auto disable = Kernel32Function<Wow64DisableFn>("Wow64DisableWow64FsRedirection");
  if (!disable) return Error{ERROR_PROC_NOT_FOUND};
  PVOID previous = nullptr;
  if (!disable(&previous)) return LastError();
  return reinterpret_cast<uintptr_t>(previous);
}

Status Win32SystemInfo::RevertFsRedirection(uintptr_t previous) {
  static auto revert = Kernel32Function<Wow64RevertFn>("Wow64RevertWow64FsRedirection");
  if (!revert) return Error{ERROR_PROC_NOT_FOUND};
  if (!revert(reinterpret_cast<PVOID>(previous))) return LastError();
  return Status::Ok();
}

Status Win32SystemInfo::Restart(uint32_t reason) {
  if (!ExitWindowsEx(EWX_REBOOT, reason)) return LastError();
  return Status::Ok();
}

}  // namespace corvex::win32
