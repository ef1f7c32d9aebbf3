// Shared by the security, datablock and permission tests: where the fake
// keeps the store and icacls's files, and the SIDs the sentences name.
#pragma once

#include <set>
#include <string>

#include "platform/fake/fake_security.h"
#include "test_support.h"

namespace corvex::testing {

inline const std::wstring kWorkingFolder = L"C:\\Users\\Tester\\AppData\\Local\\Tallwen";
inline const std::wstring kStorePath = kWorkingFolder + L"\\DataBlocks";
inline const std::wstring kOutAclFile = kWorkingFolder + L"\\Temp\\outaclfile";
inline const std::wstring kAclFile = kWorkingFolder + L"\\Temp\\aclfile";
inline const std::wstring kIcacls = L"C:\\Windows\\System32\\icacls.exe";

inline platform::ProcessRequest Icacls(const std::wstring& commandLine) {
  platform::ProcessRequest r;
  r.program = kIcacls;
  r.commandLine = commandLine;
  return r;
}
inline const std::wstring kTrustedInstaller = platform::sid::kTrustedInstaller;
inline const std::wstring kProtectedDacl = fake::FakeSecurity::kProtectedFileDacl;

// A protected system file most tests work on, and its recorded security.
inline const std::wstring kFile = L"C:\\Windows\\System32\\corvexdemo.dll";
inline const std::wstring kRecord = kFile + L"|" + kProtectedDacl + L"|" + kTrustedInstaller;

// A session with the protected file, and its security when the test began.
struct Protected : FakeSession {
  fake::FakeDescriptor original;
  Protected() {
    w.security().AddProtectedFile(kFile, "x");
    original = w.security().DescriptorOf(kFile);
  }
  // Whether the file's owner and DACL are what they were.
  bool Back() {
    const fake::FakeDescriptor now = w.security().DescriptorOf(kFile);
    return now.owner == original.owner && now.dacl == original.dacl;
  }
};

// The store's text; "" when it is missing.
inline std::wstring StoreText(const FakeSession& f) { return f.Utf16File(kStorePath); }

// Seeds the store as a previous run would have left it.
inline void SeedStore(FakeSession& f, const std::wstring& text) { f.w.AddFile(kStorePath, Utf16Bom(text)); }

// Only the privilege every process has on is left switched on.
inline bool PrivilegesBackOff(FakeSession& f) {
  return f.w.security().enabledPrivileges == std::set<std::wstring>{L"SeChangeNotifyPrivilege"};
}

inline size_t Count(const std::wstring& text, const std::wstring& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::wstring::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace corvex::testing
