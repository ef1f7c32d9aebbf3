// Drive types and the shadow copies that exist. Shadow copies are device
// objects named HarddiskVolumeShadowCopyN in the object manager's \Device
// folder; listing that folder (ntdll, looked up at run time) finds every
// one, whatever gaps deleted copies left in the numbering.
#include "platform/win32/handles.h"
#include "platform/win32/win32_backend.h"

#include <winternl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace corvex::win32 {

using platform::Error;
using platform::Result;

namespace {

struct DirectoryEntry {
  UNICODE_STRING name;
  UNICODE_STRING typeName;
};

using NtOpenDirectoryObjectFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
using NtQueryDirectoryObjectFn = LONG(NTAPI*)(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, PULONG, PULONG);
using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(LONG);

constexpr ACCESS_MASK kDirectoryQuery = 0x1;
constexpr LONG kStatusMoreEntries = 0x00000105;
constexpr LONG kStatusNoMoreEntries = static_cast<LONG>(0x8000001A);

template <class Fn>
Fn Ntdll(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  FARPROC proc = ntdll ? GetProcAddress(ntdll, name) : nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

uint32_t CodeOf(LONG status) {
  static auto convert = Ntdll<RtlNtStatusToDosErrorFn>("RtlNtStatusToDosError");
  ULONG code = convert ? convert(status) : ERROR_GEN_FAILURE;
  return code ? static_cast<uint32_t>(code) : static_cast<uint32_t>(ERROR_GEN_FAILURE);
}

// N of "HarddiskVolumeShadowCopyN"; false for any other name.
bool ShadowCopyNumber(const std::wstring& name, uint32_t& number) {
  static const std::wstring kPrefix = L"HarddiskVolumeShadowCopy";
  if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + 9 || name.compare(0, kPrefix.size(), kPrefix))
    return false;
  number = 0;
  for (size_t i = kPrefix.size(); i < name.size(); ++i) {
    if (name[i] < L'0' || name[i] > L'9') return false;
    number = number * 10 + static_cast<uint32_t>(name[i] - L'0');
  }
  return true;
}

}  // namespace

platform::DriveKind Win32SystemInfo::DriveType(wchar_t drive) {
  const wchar_t root[] = {drive, L':', L'\\', L'\0'};
  return static_cast<platform::DriveKind>(GetDriveTypeW(root));
}

uint32_t Win32SystemInfo::QuietMediaErrors() {
  return SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

void Win32SystemInfo::RestoreErrorMode(uint32_t previous) { SetErrorMode(previous); }

Result<std::vector<uint32_t>> Win32SystemInfo::ShadowCopyNumbers() {
  static auto open = Ntdll<NtOpenDirectoryObjectFn>("NtOpenDirectoryObject");
  static auto query = Ntdll<NtQueryDirectoryObjectFn>("NtQueryDirectoryObject");
  if (!open || !query) return Error{ERROR_PROC_NOT_FOUND};

  wchar_t path[] = L"\\Device";
  UNICODE_STRING name{static_cast<USHORT>(sizeof path - sizeof(wchar_t)), static_cast<USHORT>(sizeof path), path};
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.ObjectName = &name;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  HANDLE raw = nullptr;
  LONG status = open(&raw, kDirectoryQuery, &attributes);
  if (status < 0) return Error{CodeOf(status)};
  unique_handle directory(raw);

  std::vector<uint32_t> numbers;
  std::vector<unsigned char> buffer(64 * 1024);
  ULONG context = 0;
  bool first = true;
  for (;;) {
    ULONG returned = 0;
    status = query(directory.get(), buffer.data(), static_cast<ULONG>(buffer.size()), FALSE, first ? TRUE : FALSE,
                   &context, &returned);
    first = false;
    if (status == kStatusNoMoreEntries) break;
    if (status < 0) return Error{CodeOf(status)};
    // An array of entries ended by one that is all zero; the names live
    // further on in the same buffer.
    const auto* entry = reinterpret_cast<const DirectoryEntry*>(buffer.data());
    const auto* end = reinterpret_cast<const DirectoryEntry*>(buffer.data() + buffer.size());
    for (; entry < end && entry->name.Buffer; ++entry) {
      uint32_t n = 0;
      if (ShadowCopyNumber(std::wstring(entry->name.Buffer, entry->name.Length / sizeof(wchar_t)), n))
        numbers.push_back(n);
    }
    if (status != kStatusMoreEntries) break;
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}

}  // namespace corvex::win32
