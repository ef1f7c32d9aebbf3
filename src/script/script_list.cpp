#include "script/script_list.h"

#include "base/text.h"
#include "core/text_file.h"
#include "script/file_hash.h"
#include "core/text_reader.h"

namespace corvex {

static const wchar_t kScriptList[] = L"%SystemDrive%\\Corvex\\ScriptList";

std::wstring ScriptListCount(Session& s, const std::wstring& path) {
  s.scriptHash = HexToBase64(HashFile(s, path, 32));
  if (s.scriptHash.empty()) return L"";
  std::wstring list = ReadTextFile(s, kScriptList, false, false);
  int count = 0;
  for (size_t pos = list.find(s.scriptHash); pos != std::wstring::npos;
       pos = list.find(s.scriptHash, pos + s.scriptHash.size()))
    ++count;
  s.scriptListCount = count;
  return Decimal(static_cast<uint64_t>(count));
}

std::wstring ScriptListRecord(Session& s, const std::wstring& stamp) {
  if (s.scriptHash.empty()) return L"FALSE";
  std::wstring record = stamp + L" - " + s.scriptHash + L" [" + Decimal(static_cast<uint64_t>(s.scriptListCount)) + L"]";
  return WriteTextFile(s, true, false, kScriptList, record, false).ok() ? L"TRUE" : L"ERROR";
}

}  // namespace corvex
