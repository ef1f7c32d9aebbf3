#include "script/script_list.h"

#include "base/text.h"
#include "core/atomic_file.h"
#include "core/text_reader.h"
#include "script/file_hash.h"

namespace corvex {

static const wchar_t kScriptList[] = L"%SystemDrive%\\Corvex\\ScriptList";

std::wstring ScriptListCount(Session& s, const std::wstring& path) {
  s.scriptHash = HexToBase64(HashFile(s, path, 32));
  if (s.scriptHash.empty()) return L"";
  // A list that cannot be read counts as holding no earlier records.
  std::wstring list = ReadTextFile(s, kScriptList, TextDecoding::kEightBit).value_or(L"");
  int count = 0;
  for (size_t pos = list.find(s.scriptHash); pos != std::wstring::npos;
       pos = list.find(s.scriptHash, pos + s.scriptHash.size()))
    ++count;
  s.scriptListCount = count;
  return Decimal(static_cast<uint64_t>(count));
}

ScriptListRecordResult ScriptListRecord(Session& s, const std::wstring& stamp) {
  if (s.scriptHash.empty()) return ScriptListRecordResult::kNothingHashed;
  std::wstring record = stamp + L" - " + s.scriptHash + L" [" + Decimal(static_cast<uint64_t>(s.scriptListCount)) +
                        L"]\r\n";
  // The list is replaced whole through a temporary file, so a failed or
  // interrupted write leaves the records there were; a list that is there
  // but cannot be read is not written over.
  const std::wstring path = s.os.env.Expand(kScriptList, 512);
  auto list = s.os.fs.ReadFile(path);
  if (!list.ok() && list.code() != platform::err::kFileNotFound && list.code() != platform::err::kPathNotFound)
    return ScriptListRecordResult::kWriteFailed;
  std::string bytes = list.value_or("");
  // Lists written before records had their own lines end in the middle of
  // one: the new record starts on a line of its own.
  if (!bytes.empty() && bytes.back() != '\n') record = L"\r\n" + record;
  return ReplaceFileContents(s.os.fs, path, bytes + ToLatin1(record)).ok() ? ScriptListRecordResult::kRecorded
                                                                          : ScriptListRecordResult::kWriteFailed;
}

}  // namespace corvex
