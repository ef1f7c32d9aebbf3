// Tokens, privileges, SIDs and security descriptors through advapi32; the
// hard-link query through ntdll (looked up at run time) and
// GetFileInformationByHandleEx.
#include "platform/win32/handles.h"
#include "base/path.h"
#include "platform/usn_records.h"
#include "platform/win32/win32_backend.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>
#include <winioctl.h>

#include <cstddef>
#include <vector>

namespace corvex::win32 {

using platform::Error;
using platform::HardLinks;
using platform::Result;
using platform::Status;

namespace {

using LocalSid = unique_local<void>;
using LocalDescriptor = unique_local<void>;

// Writable copy for the APIs that take LPWSTR without writing to it.
std::vector<wchar_t> Writable(const std::wstring& text) {
  std::vector<wchar_t> buffer(text.begin(), text.end());
  buffer.push_back(L'\0');
  return buffer;
}

Result<LocalSid> SidFromString(const std::wstring& text) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(text.c_str(), &sid)) return LastError();
  return LocalSid(sid);
}

Result<std::wstring> SidToString(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return LastError();
  unique_local<wchar_t> held(text);
  return std::wstring(text);
}

// --- ntdll ---------------------------------------------------------------
using NtCreateFileFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                     ULONG, ULONG, ULONG, PVOID, ULONG);
using NtQueryInformationFileFn = LONG(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(LONG);

constexpr ULONG kFileNameInformation = 9;
constexpr ULONG kFileHardLinkInformation = 46;
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileSynchronousIoNonalert = 0x20;
constexpr ULONG kFileOpenByFileId = 0x2000;
constexpr ULONG kFileOpenForBackupIntent = 0x4000;
constexpr ULONG kObjCaseInsensitive = 0x40;
constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005);
constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002);
constexpr size_t kQueryBuffer = 4096;

struct LinkEntry {
  ULONG NextEntryOffset;
  LONGLONG ParentFileId;
  ULONG FileNameLength;  // in characters
  WCHAR FileName[1];
};
struct LinksInformation {
  ULONG BytesNeeded;
  ULONG EntriesReturned;
  LinkEntry Entry;
};
struct NameInformation {
  ULONG FileNameLength;  // in bytes
  WCHAR FileName[1];
};
static_assert(offsetof(LinkEntry, ParentFileId) == 8 && offsetof(LinkEntry, FileName) == 20,
              "FILE_LINK_ENTRY_INFORMATION layout");
static_assert(offsetof(LinksInformation, Entry) == 8, "FILE_LINKS_INFORMATION layout");

template <class Fn>
Fn NtdllFunction(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  FARPROC proc = ntdll ? GetProcAddress(ntdll, name) : nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

uint32_t Win32CodeOf(LONG status) {
  // An information class the system does not implement (Wine has no hard-link
  // listing) is said as such rather than as ERROR_INVALID_FUNCTION.
  if (status == kStatusNotImplemented) return ERROR_CALL_NOT_IMPLEMENTED;
  static auto convert = NtdllFunction<RtlNtStatusToDosErrorFn>("RtlNtStatusToDosError");
  ULONG code = convert ? convert(status) : ERROR_GEN_FAILURE;
  return code ? static_cast<uint32_t>(code) : static_cast<uint32_t>(ERROR_GEN_FAILURE);
}

class NtFile {
 public:
  NtFile() = default;
  ~NtFile() {
    if (handle_) CloseHandle(handle_);
  }
  NtFile(const NtFile&) = delete;
  NtFile& operator=(const NtFile&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* put() { return &handle_; }

 private:
  HANDLE handle_ = nullptr;
};

// NtCreateFile for attribute queries only, with backup intent so that
// protected files open too.
uint32_t OpenNt(NtFile& file, HANDLE root, UNICODE_STRING* name, ULONG options) {
  static auto create = NtdllFunction<NtCreateFileFn>("NtCreateFile");
  if (!create) return ERROR_PROC_NOT_FOUND;
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = root;
  attributes.ObjectName = name;
  attributes.Attributes = root ? 0 : kObjCaseInsensitive;
  IO_STATUS_BLOCK io{};
  LONG status = create(file.put(), FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, kFileOpen,
                       options | kFileOpenForBackupIntent | kFileSynchronousIoNonalert, nullptr, 0);
  if (status < 0) {
    *file.put() = nullptr;
    return Win32CodeOf(status);
  }
  return 0;
}

uint32_t OpenById(NtFile& file, HANDLE root, uint64_t fileId) {
  UNICODE_STRING name;
  name.Length = name.MaximumLength = sizeof fileId;
  name.Buffer = reinterpret_cast<PWSTR>(&fileId);
  return OpenNt(file, root, &name, kFileOpenByFileId);
}

Result<std::wstring> NameOf(HANDLE file, wchar_t drive) {
  static auto query = NtdllFunction<NtQueryInformationFileFn>("NtQueryInformationFile");
  if (!query) return Error{ERROR_PROC_NOT_FOUND};
  std::vector<unsigned char> buffer(kQueryBuffer);
  IO_STATUS_BLOCK io{};
  LONG status = query(file, &io, buffer.data(), static_cast<ULONG>(buffer.size()), kFileNameInformation);
  if (status < 0) return Error{Win32CodeOf(status)};
  auto* info = reinterpret_cast<NameInformation*>(buffer.data());
  const size_t room = (buffer.size() - offsetof(NameInformation, FileName)) / sizeof(WCHAR);
  if (info->FileNameLength / sizeof(WCHAR) > room) return Error{ERROR_INVALID_DATA};
  std::wstring name(info->FileName, info->FileNameLength / sizeof(WCHAR));
  std::wstring out = std::wstring(1, drive) + L":";
  // The root comes back as "\" alone and is shown as the drive.
  if (name.size() > 1) out += name;
  return out;
}

Result<std::wstring> PathOfId(HANDLE root, wchar_t drive, uint64_t fileId) {
  NtFile file;
  if (uint32_t code = OpenById(file, root, fileId)) return Error{code};
  return NameOf(file.get(), drive);
}

Result<HardLinks> LinksOf(HANDLE file, wchar_t drive) {
  static auto query = NtdllFunction<NtQueryInformationFileFn>("NtQueryInformationFile");
  if (!query) return Error{ERROR_PROC_NOT_FOUND};
  std::vector<unsigned char> buffer(kQueryBuffer);
  LONG status = 0;
  // A file with many names needs more than the first buffer; the answer
  // says how much.
  for (int attempt = 0; attempt < 3; ++attempt) {
    IO_STATUS_BLOCK io{};
    status = query(file, &io, buffer.data(), static_cast<ULONG>(buffer.size()), kFileHardLinkInformation);
    if (status != kStatusBufferOverflow) break;
    ULONG needed = reinterpret_cast<LinksInformation*>(buffer.data())->BytesNeeded;
    if (needed <= buffer.size()) break;
    buffer.resize(needed);
  }
  if (status < 0) return Error{Win32CodeOf(status)};

  HardLinks links;
  auto* info = reinterpret_cast<LinksInformation*>(buffer.data());
  // Every entry, and the name it carries, must lie inside the buffer.
  size_t at = offsetof(LinksInformation, Entry);
  for (ULONG i = 0; i < info->EntriesReturned; ++i) {
    if (at > buffer.size() - offsetof(LinkEntry, FileName)) return Error{ERROR_INVALID_DATA};
    auto* entry = reinterpret_cast<LinkEntry*>(buffer.data() + at);
    if (entry->FileNameLength > (buffer.size() - at - offsetof(LinkEntry, FileName)) / sizeof(WCHAR))
      return Error{ERROR_INVALID_DATA};
    auto parent = PathOfId(file, drive, static_cast<uint64_t>(entry->ParentFileId));
    if (!parent.ok()) return parent.status().code() ? Error{parent.code()} : Error{ERROR_GEN_FAILURE};
    links.paths.push_back(*parent + L"\\" + std::wstring(entry->FileName, entry->FileNameLength));
    if (entry->NextEntryOffset == 0) break;
    if (entry->NextEntryOffset > buffer.size() - at) return Error{ERROR_INVALID_DATA};
    at += entry->NextEntryOffset;
  }

  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) return LastError();
  links.linkCount = standard.NumberOfLinks;
  links.deletePending = standard.DeletePending != FALSE;
  return links;
}

}  // namespace

// ---------------------------------------------------------------------------
Result<platform::Token> Win32Security::OpenProcessToken() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return LastError();
  return platform::Token(this, reinterpret_cast<uintptr_t>(token));
}

Result<uint64_t> Win32Security::LookupPrivilege(const std::wstring& name) {
  LUID luid{};
  if (!LookupPrivilegeValueW(nullptr, name.c_str(), &luid)) return LastError();
  return (static_cast<uint64_t>(static_cast<uint32_t>(luid.HighPart)) << 32) | luid.LowPart;
}

Status Win32Security::AdjustPrivilege(const platform::Token& token, uint64_t luid, bool enable) {
  if (!token) return Error{ERROR_INVALID_HANDLE};
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Luid.LowPart = static_cast<DWORD>(luid & 0xFFFFFFFF);
  privileges.Privileges[0].Luid.HighPart = static_cast<LONG>(luid >> 32);
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  SetLastError(ERROR_SUCCESS);
  if (!AdjustTokenPrivileges(reinterpret_cast<HANDLE>(token.get()), FALSE, &privileges, sizeof privileges, nullptr,
                             nullptr))
    return LastError();
  // The call succeeds when the token lacks the privilege, and says so only
  // through the last error.
  if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) return Error{ERROR_NOT_ALL_ASSIGNED};
  return Status::Ok();
}

Result<std::wstring> Win32Security::TokenUserSid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return LastError();
  unique_handle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return LastError();
  std::vector<char> buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return LastError();
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return LastError();
  unique_local<wchar_t> held(text);
  return std::wstring(text);
}

Result<std::wstring> Win32Security::UserName() {
  wchar_t buffer[257];
  DWORD size = 257;
  if (!GetUserNameW(buffer, &size)) return LastError();
  return std::wstring(buffer);
}

Result<std::wstring> Win32Security::AccountSid(const std::wstring& accountName) {
  DWORD sidSize = SECURITY_MAX_SID_SIZE, domainSize = 256;
  std::vector<unsigned char> sid(sidSize);
  std::vector<wchar_t> domain(domainSize);
  SID_NAME_USE use;
  // The sizes that failed with ERROR_INSUFFICIENT_BUFFER are the ones needed;
  // the buffers grow once.
  for (int attempt = 0;; ++attempt) {
    if (LookupAccountNameW(nullptr, accountName.c_str(), sid.data(), &sidSize, domain.data(), &domainSize, &use))
      break;
    if (attempt > 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) return LastError();
    sid.resize(sidSize);
    domain.resize(domainSize);
  }
  return SidToString(sid.data());
}

Status Win32Security::CheckStringSid(const std::wstring& sid) {
  auto converted = SidFromString(sid);
  return converted.status();
}

Result<std::wstring> Win32Security::EveryoneSid() {
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID sid = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid)) return LastError();
  auto text = SidToString(sid);
  FreeSid(sid);
  return text;
}

Result<std::wstring> Win32Security::BuildFullAccessDacl(const std::wstring& trustee) {
  auto sid = SidFromString(trustee);
  if (!sid.ok()) return Error{sid.code()};
  EXPLICIT_ACCESSW entry{};
  entry.grfAccessPermissions = GENERIC_ALL;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  entry.Trustee.pMultipleTrustee = nullptr;
  entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(sid->get());
  PACL acl = nullptr;
  DWORD result = SetEntriesInAclW(1, &entry, nullptr, &acl);
  if (result != ERROR_SUCCESS) return Error{static_cast<uint32_t>(result)};
  unique_local<ACL> aclOwner(acl);

  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
    return LastError();
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(&descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                            &text, nullptr))
    return LastError();
  unique_local<wchar_t> held(text);
  return std::wstring(text);
}

Result<std::wstring> Win32Security::ReadOwner(const std::wstring& path) {
  auto name = Writable(path);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD result = GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                       nullptr, nullptr, &descriptor);
  if (result != ERROR_SUCCESS) return Error{static_cast<uint32_t>(result)};
  LocalDescriptor held(descriptor);
  return SidToString(owner);
}

Status Win32Security::SetOwner(const std::wstring& path, const std::wstring& sidText) {
  auto sid = SidFromString(sidText);
  if (!sid.ok()) return sid.status();
  auto name = Writable(path);
  DWORD result = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, sid->get(), nullptr,
                                       nullptr, nullptr);
  if (result != ERROR_SUCCESS) return Error{static_cast<uint32_t>(result)};
  return Status::Ok();
}

Status Win32Security::SetDacl(const std::wstring& path, const std::wstring& daclSddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(daclSddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return LastError();
  LocalDescriptor held(descriptor);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return LastError();
  // A null DACL would grant everything to everyone without a single entry.
  if (!present || !dacl) return Error{ERROR_INVALID_PARAMETER};
  auto name = Writable(path);
  // DACL_SECURITY_INFORMATION alone: the object's protection from
  // inheritance stays as it was.
  DWORD result = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                       nullptr);
  if (result != ERROR_SUCCESS) return Error{static_cast<uint32_t>(result)};
  return Status::Ok();
}

// ---------------------------------------------------------------------------
Result<HardLinks> Win32Security::HardLinksOfPath(const std::wstring& path) {
  std::wstring p = StripLongPathPrefix(path);
  if (p.size() < 2 || p[1] != L':') return Error{ERROR_INVALID_NAME};
  // A counted NT name holds at most 32,767 characters; a longer one would
  // wrap and open a different, shorter path.
  if ((p.size() + 12) * sizeof(wchar_t) > 0xFFFE) return Error{ERROR_FILENAME_EXCED_RANGE};
  NtFile file;
  uint32_t code = 0;
  // "\??\Global\" reaches the drive letters every session sees; where that
  // link is missing (Wine) the caller's own "\??\" names the same drive.
  for (const wchar_t* prefix : {L"\\??\\Global\\", L"\\??\\"}) {
    std::wstring nt = prefix + p;
    UNICODE_STRING name;
    name.Length = name.MaximumLength = static_cast<USHORT>(nt.size() * sizeof(wchar_t));
    name.Buffer = &nt[0];
    code = OpenNt(file, nullptr, &name, 0);
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) break;
  }
  if (code) return Error{code};
  return LinksOf(file.get(), static_cast<wchar_t>(towupper(p[0])));
}

namespace {

// The volume of a drive letter, opened as the journal controls need it.
Result<unique_hfile> OpenVolume(wchar_t drive) {
  std::wstring name = L"\\\\.\\" + std::wstring(1, drive) + L":";
  unique_hfile volume(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  if (!volume) return LastError();
  return volume;
}

}  // namespace

Result<HardLinks> Win32Security::HardLinksOfFileId(wchar_t drive, uint64_t fileId) {
  auto volume = OpenVolume(drive);
  if (!volume.ok()) return Error{volume.code()};
  NtFile file;
  if (uint32_t code = OpenById(file, volume->get(), fileId)) return Error{code};
  return LinksOf(file.get(), static_cast<wchar_t>(towupper(drive)));
}

Status Win32Security::ScanVolume(wchar_t drive, const std::function<void(const platform::VolumeRecord&)>& onRecord) {
  auto volume = OpenVolume(drive);
  if (!volume.ok()) return Error{volume.code()};
  USN_JOURNAL_DATA journal{};
  DWORD got = 0;
  if (!DeviceIoControl(volume->get(), FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &journal, sizeof journal, &got, nullptr))
    return LastError();
  MFT_ENUM_DATA range{};  // version 0, which every NTFS version takes
  range.StartFileReferenceNumber = 0;
  range.LowUsn = 0;
  range.HighUsn = journal.NextUsn;
  std::vector<unsigned char> buffer(10000);
  for (;;) {
    if (!DeviceIoControl(volume->get(), FSCTL_ENUM_USN_DATA, &range, sizeof range, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      DWORD code = GetLastError();
      // The end of the table.
      if (code == ERROR_HANDLE_EOF) return Status::Ok();
      return Error{code ? static_cast<uint32_t>(code) : static_cast<uint32_t>(ERROR_GEN_FAILURE)};
    }
    platform::usn::Batch batch;
    // A batch whose record lengths cannot be trusted ends the scan: the
    // records after a bad one cannot be found.
    if (!platform::usn::ParseBatch(buffer.data(), got, batch)) return Error{ERROR_INVALID_DATA};
    for (const platform::VolumeRecord& r : batch.records) onRecord(r);
    if (batch.next == range.StartFileReferenceNumber) return Status::Ok();
    range.StartFileReferenceNumber = batch.next;
  }
}

void Win32Security::Close(uintptr_t value) { CloseHandle(reinterpret_cast<HANDLE>(value)); }

}  // namespace corvex::win32
