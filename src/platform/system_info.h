// Facts about the running Windows and the few registry values that feed them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"

namespace corvex::platform {

// Where a write of a machine value failed: the key is opened, never
// created, and then the value set.
enum class RegistryStep { kOpenKey, kSetValue };

// GetDriveTypeW's answers.
enum class DriveKind : uint32_t { kUnknown = 0, kNoRoot = 1, kRemovable = 2, kFixed = 3, kRemote = 4, kCdRom = 5, kRamDisk = 6 };

struct OsVersion {
  uint32_t major = 0, minor = 0, build = 0;
  uint16_t servicePackMajor = 0;
  uint8_t productType = 1;  // VER_NT_WORKSTATION
};

class SystemInfo {
 public:
  virtual ~SystemInfo() = default;
  // The real version (RtlGetVersion), not the compatibility-shimmed one.
  virtual Result<OsVersion> Version() = 0;
  // Whether this is a 32-bit process on 64-bit Windows. A system without
  // IsWow64Process runs nothing under WOW64.
  virtual Result<bool> IsWow64() = 0;
  // PROCESSOR_ARCHITECTURE_* of the native system, also under WOW64.
  virtual uint16_t ProcessorArchitecture() = 0;
  // Values under HKEY_LOCAL_MACHINE in the 64-bit view. A missing value is
  // error 2.
  virtual Result<std::wstring> ReadMachineString(const std::wstring& subkey, const std::wstring& name) = 0;
  virtual Result<uint32_t> ReadMachineDword(const std::wstring& subkey, const std::wstring& name) = 0;
  virtual Status MachineKeyExists(const std::wstring& subkey) = 0;
  // REG_MULTI_SZ, one entry per string (empty strings kept: pending
  // renames use them for deletions).
  virtual Result<std::vector<std::wstring>> ReadMachineMultiString(const std::wstring& subkey,
                                                                   const std::wstring& name) = 0;
  // Opens an existing key for KEY_SET_VALUE in the 64-bit view and sets a
  // REG_DWORD or REG_SZ value. On failure `failedAt` says which step failed.
  virtual Status SetMachineDword(const std::wstring& subkey, const std::wstring& name, uint32_t value,
                                 RegistryStep& failedAt) = 0;
  virtual Status SetMachineString(const std::wstring& subkey, const std::wstring& name, const std::wstring& value,
                                  RegistryStep& failedAt) = 0;
  // Wow64DisableWow64FsRedirection and its revert; the value Disable hands
  // out goes back to Revert.
  virtual Result<uintptr_t> DisableFsRedirection() = 0;
  virtual Status RevertFsRedirection(uintptr_t previous) = 0;
  // ExitWindowsEx(EWX_REBOOT, reason); the shutdown privilege must be on.
  virtual Status Restart(uint32_t reason) = 0;
  // GetDriveTypeW of the root "X:\" of drive letter `drive`.
  virtual DriveKind DriveType(wchar_t drive) = 0;
  // SetErrorMode: with `quiet`, a drive without its medium fails the call
  // instead of asking the user; gives back the mode it replaced, for
  // RestoreErrorMode.
  virtual uint32_t QuietMediaErrors() = 0;
  virtual void RestoreErrorMode(uint32_t previous) = 0;
  // The numbers N of the shadow copies that exist now, each reachable as
  // "\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy" + N, in ascending
  // order. Windows numbers them from 1 and leaves gaps where copies were
  // deleted.
  virtual Result<std::vector<uint32_t>> ShadowCopyNumbers() = 0;
};

// SHA-256 of a file's bytes.
class Hasher {
 public:
  virtual ~Hasher() = default;
  virtual Result<std::vector<uint8_t>> Sha256File(const std::wstring& path) = 0;
  // The same over bytes held in memory.
  virtual Result<std::vector<uint8_t>> Sha256Bytes(const std::string& bytes) = 0;
};

}  // namespace corvex::platform
