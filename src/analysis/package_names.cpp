#include "analysis/package_names.h"

#include <vector>

#include "base/text.h"
#include "base/wildcard.h"

namespace corvex {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::vector<std::wstring> Components(const std::wstring& name) {
  std::vector<std::wstring> parts(1);
  for (wchar_t c : name) {
    if (IsSeparator(c))
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

// Win32 opens these devices whatever the folder and the extension: "aux.txt"
// and "nul .cab" are devices too.
bool IsDeviceName(const std::wstring& component) {
  std::wstring base = ToUpper(component.substr(0, component.find(L'.')));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL") return true;
  if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0))
    return base[3] >= L'1' && base[3] <= L'9';
  return false;
}

}  // namespace

EntryNameFault CheckEntryName(const std::wstring& name, EntryNameKind kind) {
  if (name.empty()) return EntryNameFault::kEmpty;
  if (IsSeparator(name[0])) return EntryNameFault::kAbsolute;
  if (name.size() >= 2 && name[1] == L':') return EntryNameFault::kAbsolute;
  for (wchar_t c : name) {
    if (c == L':') return EntryNameFault::kColon;
    if (c < 32 || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*')
      return EntryNameFault::kBadCharacter;
  }
  std::vector<std::wstring> parts = Components(name);
  for (const std::wstring& part : parts)
    if (part.empty() || part == L"." || part == L"..") return EntryNameFault::kClimbs;
  if (kind == EntryNameKind::kInstallerName && parts.size() > 1) return EntryNameFault::kSeparator;
  for (const std::wstring& part : parts) {
    if (part.size() > 255) return EntryNameFault::kTooLong;
    if (part.back() == L'.' || part.back() == L' ') return EntryNameFault::kTrailingDotOrSpace;
    if (IsDeviceName(part)) return EntryNameFault::kDevice;
  }
  return EntryNameFault::kNone;
}

std::wstring EntryNameFaultText(EntryNameFault fault) {
  switch (fault) {
    case EntryNameFault::kNone: return L"it is a plain name";
    case EntryNameFault::kEmpty: return L"it is empty";
    case EntryNameFault::kAbsolute: return L"it names a root or a drive";
    case EntryNameFault::kClimbs: return L"it climbs out of its folder";
    case EntryNameFault::kColon: return L"it holds a colon";
    case EntryNameFault::kBadCharacter: return L"it holds a character no file name may hold";
    case EntryNameFault::kDevice: return L"it names a device";
    case EntryNameFault::kTrailingDotOrSpace: return L"it ends in a dot or a space";
    case EntryNameFault::kSeparator: return L"it holds a folder separator";
    case EntryNameFault::kTooLong: return L"a part of it is longer than 255 characters";
  }
  return L"it is not a plain name";
}

std::wstring EntryRelativePath(const std::wstring& name) { return ReplaceAll(name, L"/", L"\\"); }

namespace {

// Microsoft's Update.exe packages extract with "/x:" and a folder. The
// catalog's copies carry a digest after the name ("wsus-kb2720211-x86_<sha1>.exe").
constexpr SelfExtractingKind kSelfExtractingKinds[] = {
    // The Windows Update Agent 7.6 redistributable, by architecture.
    {L"WindowsUpdateAgent-7.6-*.exe", L"/x:"},
    // The WSUS 3.0 SP2 update KB2720211, which carries agent 7.6.7600.256.
    {L"WSUS-KB2720211-*.exe", L"/x:"},
};

}  // namespace

const SelfExtractingKind* FindSelfExtractingKind(const std::wstring& fileName) {
  for (const SelfExtractingKind& kind : kSelfExtractingKinds)
    if (WildcardMatch(kind.fileName, fileName)) return &kind;
  return nullptr;
}

}  // namespace corvex
