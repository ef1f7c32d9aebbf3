// The real Windows behind each interface of the OS seam.
#pragma once

#include "platform/win32/windows_api.h"

#include "platform/platform.h"

namespace corvex::win32 {

using platform::Error;
using platform::Result;
using platform::Status;

// The handles are borrowed, never closed: by default the process's standard
// ones, which a test can replace with files.
class Win32Console : public platform::Console {
 public:
  Win32Console();
  Win32Console(HANDLE output, HANDLE input);

  void Write(const std::wstring& text) override;
  void Flush() override;
  wchar_t ReadKey() override;
  void Clear() override;
  void SetTitle(const std::wstring& title) override;
  void FixSize80x25() override;
  void ShowMessage(const std::wstring& title, const std::wstring& text) override;

  // True when the output handle is a console screen buffer.
  bool IsRealConsole() const { return realConsole_; }

 private:
  wchar_t ReadKeyFromConsole();
  wchar_t ReadByteKey();

  HANDLE output_;
  HANDLE input_;
  bool realConsole_ = false;
};

class Win32Environment : public platform::Environment {
 public:
  std::wstring Expand(const std::wstring& text, size_t capacity = 512) override;
  Result<std::wstring> GetKnownFolder(platform::KnownFolder folder) override;
  platform::LocalTime Now() override;
  Result<std::wstring> ModuleFileName() override;
  Result<std::array<uint16_t, 4>> FileVersion(const std::wstring& path) override;
};

class Win32FileSystem : public platform::FileSystem {
 public:
  Result<uint32_t> GetAttributes(const std::wstring& path) override;
  Status SetAttributes(const std::wstring& path, uint32_t attributes) override;
  Status CreateFolder(const std::wstring& path) override;
  Status RemoveFolder(const std::wstring& path) override;
  Status CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) override;
  Status MoveFile(const std::wstring& from, const std::wstring& to, bool replaceExisting) override;
  Status DeleteFile(const std::wstring& path) override;
  Result<std::vector<platform::FindEntry>> Find(const std::wstring& pattern) override;
  Result<std::string> ReadFile(const std::wstring& path) override;
  Status WriteFile(const std::wstring& path, const std::string& bytes, bool append) override;
  Result<std::unique_ptr<platform::File>> Open(const std::wstring& path, uint32_t desiredAccess, uint32_t shareMode,
                                               platform::Disposition disposition) override;
  Result<platform::FileIdentity> Identity(const std::wstring& path) override;
  Status AddHardLink(const std::wstring& newName, const std::wstring& existing) override;
  Status PendRename(const std::wstring& from, const std::wstring& to) override;
  Result<uint64_t> FreeBytesAvailable(const std::wstring& path) override;
};

class Win32Processes : public platform::Processes {
 public:
  Result<platform::ProcessOutcome> Run(const platform::ProcessRequest& request) override;
};

class Win32SystemInfo : public platform::SystemInfo {
 public:
  Result<platform::OsVersion> Version() override;
  Result<bool> IsWow64() override;
  uint16_t ProcessorArchitecture() override;
  Result<std::wstring> ReadMachineString(const std::wstring& subkey, const std::wstring& name) override;
  Result<uint32_t> ReadMachineDword(const std::wstring& subkey, const std::wstring& name) override;
  Status MachineKeyExists(const std::wstring& subkey) override;
  Result<std::vector<std::wstring>> ReadMachineMultiString(const std::wstring& subkey,
                                                           const std::wstring& name) override;
  Status SetMachineDword(const std::wstring& subkey, const std::wstring& name, uint32_t value,
                         platform::RegistryStep& failedAt) override;
  Status SetMachineString(const std::wstring& subkey, const std::wstring& name, const std::wstring& value,
                          platform::RegistryStep& failedAt) override;
  Result<uintptr_t> DisableFsRedirection() override;
  Status RevertFsRedirection(uintptr_t previous) override;
  Status Restart(uint32_t reason) override;
  platform::DriveKind DriveType(wchar_t drive) override;
  uint32_t QuietMediaErrors() override;
  void RestoreErrorMode(uint32_t previous) override;
  Result<std::vector<uint32_t>> ShadowCopyNumbers() override;
};

class Win32Hasher : public platform::Hasher {
 public:
  Result<std::vector<uint8_t>> Sha256File(const std::wstring& path) override;
  Result<std::vector<uint8_t>> Sha256Bytes(const std::string& bytes) override;
};

class Win32Security : public platform::Security {
 public:
  Result<platform::Token> OpenProcessToken() override;
  Result<uint64_t> LookupPrivilege(const std::wstring& name) override;
  Status AdjustPrivilege(const platform::Token& token, uint64_t luid, bool enable) override;
  Result<std::wstring> UserName() override;
  Result<std::wstring> TokenUserSid() override;
  Result<std::wstring> AccountSid(const std::wstring& accountName) override;
  Status CheckStringSid(const std::wstring& sid) override;
  Result<std::wstring> EveryoneSid() override;
  Result<std::wstring> BuildFullAccessDacl(const std::wstring& trustee) override;
  Result<std::wstring> ReadOwner(const std::wstring& path) override;
  Status SetOwner(const std::wstring& path, const std::wstring& sid) override;
  Status SetDacl(const std::wstring& path, const std::wstring& daclSddl) override;
  Result<platform::HardLinks> HardLinksOfPath(const std::wstring& path) override;
  Result<platform::HardLinks> HardLinksOfFileId(wchar_t drive, uint64_t fileId) override;
  Status ScanVolume(wchar_t drive, const std::function<void(const platform::VolumeRecord&)>& onRecord) override;
  void Close(uintptr_t value) override;
};

// A failure with the calling thread's last error; never code 0, which would
// read as success.
inline Error LastError() {
  DWORD code = GetLastError();
  return Error{code ? static_cast<uint32_t>(code) : static_cast<uint32_t>(ERROR_GEN_FAILURE)};
}

// Steps of the calls above, on their own so that tests can hand them what
// Windows rarely does.
// GetModuleFileNameW of `module`, starting with a buffer of `firstSize`
// characters and growing it until the name fits.
Result<std::wstring> ModulePath(HMODULE module, size_t firstSize);
// Reads a pipe until its writers are gone; 0, or the code of the read that
// failed (a broken pipe is the end, not a failure).
uint32_t ReadPipeToEnd(HANDLE pipe, std::string& out);
// The same with a time limit in milliseconds (0: none), checked against
// the tick count `deadline`: once it passes, ERROR_TIMEOUT with what came
// before. The child's end is the pipe's end too, so that a grandchild
// holding the pipe cannot keep the read going.
uint32_t ReadPipeUntil(HANDLE pipe, HANDLE process, ULONGLONG deadline, std::string& out);
// Waits for the process to end and fetches its exit code. With a limit
// (milliseconds, 0: none) a process still running then is terminated and
// waited for: ERROR_TIMEOUT.
Result<uint32_t> WaitForExitCode(HANDLE process, uint32_t timeoutMs = 0);

class Win32Signatures : public platform::Signatures {
 public:
  Result<platform::Signer> VerifyMicrosoftSignature(const std::wstring& path) override;
};

}  // namespace corvex::win32
