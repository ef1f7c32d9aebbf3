// icacls save files: read by the datablock code after /save, and by the
// fake's icacls on /restore (whose DACLs the access checks then parse).
#include "fs/datablocks.h"
#include "core/text_reader.h"
#include "fuzz_support.h"
#include "platform/fake/fake_security.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_icacls)(const uint8_t* data, size_t size) {
  Fake f;
  const std::wstring file = kWork + L"\\Temp\\outaclfile";
  const std::wstring target = L"C:\\Windows\\System32\\ntdll.dll";
  f.w.AddFile(file, Bytes(data, size));
  f.w.AddFile(target, "MZ");
  f.w.AddFile(L"C:\\Windows\\System32\\kernel32.dll", "MZ");
  f.w.AddFolder(L"C:\\Windows\\System32\\drivers");

  SavedAcl acl;
  SavedAclStatus status = ReadIcaclsSave(f.s, file, target, acl);
  if (status == SavedAclStatus::kOk) {
    FUZZ_CHECK(IEquals(acl.name, L"ntdll.dll"), "a saved DACL taken for another object");
    FUZZ_CHECK(StartsWith(acl.sddl, L"D:"), "a saved line that is no DACL taken as one");
    // The DACL becomes part of a one-line record "path|DACL|owner".
    FUZZ_CHECK(acl.sddl.find_first_of(L"\r\n|") == std::wstring::npos, "a DACL that would break its record");
  }
  std::wstring text = DecodeText(Bytes(data, size), TextDecoding::kUtf16);
  for (auto& saved : ParseIcaclsSaveAll(text)) FUZZ_CHECK(!saved.name.empty(), "an object without a name");

  platform::ProcessRequest restore;
  restore.program = L"C:\\Windows\\System32\\icacls.exe";
  restore.commandLine = L"\"C:\\Windows\\System32\" /restore \"" + file + L"\"";
  f.w.security().RunIcacls(restore);
  // Whatever was restored, the access checks read it back.
  for (auto& path : f.w.ListTree(L"C:\\Windows\\System32")) {
    f.w.security().Grants(path, fake::access::kWriteDac);
    f.w.security().AccessDenied(path, fake::access::kWriteData);
  }
  return 0;
}
