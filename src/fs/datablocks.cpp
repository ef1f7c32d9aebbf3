#include "fs/datablocks.h"

#include <algorithm>

#include "core/session_log.h"
#include "core/system_facts.h"
#include "base/text.h"
#include "core/working_folders.h"
#include "core/datablock_store.h"
#include "fs/security_primitives.h"
#include "platform/filesystem.h"
#include "core/text_reader.h"

namespace corvex {

namespace attr = platform::attr;

static std::wstring LeafOf(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::vector<SavedAcl> ParseIcaclsSaveAll(const std::wstring& text) {
  std::vector<std::wstring> lines;
  for (auto& l : Split(text, L"\r\n"))
    if (!l.empty()) lines.push_back(l);
  std::vector<SavedAcl> out;
  for (size_t i = 0; i + 1 < lines.size(); i += 2) out.push_back({lines[i], lines[i + 1]});
  return out;
}

// A record is one line "path|DACL|owner": security text with a line end, a
// '|' or another control character (a damaged save file or manifest) would
// split it or shift its fields.
static bool FitsInRecord(const std::wstring& text) {
  for (wchar_t c : text)
    if (static_cast<uint32_t>(c) < 0x20 || c == 0x7F || c == L'|') return false;
  return true;
}

SavedAclStatus ParseIcaclsSave(const std::wstring& text, const std::wstring& path, SavedAcl& out) {
  std::vector<std::wstring> lines;
  for (auto& l : Split(text, L"\r\n"))
    if (!l.empty()) lines.push_back(l);
  // Anything but one object (a wildcard, a stale or foreign file) must not
  // become this path's record.
  if (lines.size() != 2 || !StartsWith(lines[1], L"D:") || !FitsInRecord(lines[1]))
    return SavedAclStatus::kUnusable;
  std::wstring leaf = LeafOf(path);
  if (!leaf.empty() && !IEquals(lines[0], leaf)) return SavedAclStatus::kUnusable;
  out = {lines[0], lines[1]};
  return SavedAclStatus::kOk;
}

SavedAclStatus ReadIcaclsSave(Session& s, const std::wstring& file, const std::wstring& path, SavedAcl& out) {
  auto a = s.os.fs.GetAttributes(file);
  if (!a.ok() || (*a & attr::kDirectory)) return SavedAclStatus::kMissing;
  // There, but not readable: no file icacls left for us to use.
  auto bytes = s.os.fs.ReadFile(file);
  if (!bytes.ok()) return SavedAclStatus::kUnusable;
  // icacls always writes UTF-16LE. Guessing the encoding from the first
  // bytes would take a name that begins with a character beyond U+00FF for
  // 8-bit text.
  return ParseIcaclsSave(DecodeText(*bytes, TextDecoding::kUtf16), path, out);
}

std::wstring QuoteArgument(const std::wstring& text) {
  size_t trailing = 0;
  while (trailing < text.size() && text[text.size() - 1 - trailing] == L'\\') ++trailing;
  return L"\"" + text + std::wstring(trailing, L'\\') + L"\"";
}

RunOutcome RunIcacls(Session& s, const std::wstring& arguments) {
  std::wstring program = MapSystem32Path(s, s.os.env.Expand(L"%windir%\\System32\\icacls.exe", 512));
  return RunProcess(s, program, arguments);
}

static void DeleteTemporary(Session& s, const std::wstring& path) { s.os.fs.DeleteFile(path); }

// The parent folder and leaf name that icacls /restore needs; false for a
// path that ends in "\" or leaves either part empty.
static bool SplitForRestore(const std::wstring& path, std::wstring& parent, std::wstring& leaf) {
  size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos || slash == 0 || slash + 1 >= path.size()) return false;
  parent = path.substr(0, slash);
  leaf = path.substr(slash + 1);
  // "C:" alone would be the current folder of drive C.
  if (parent.size() == 2 && parent[1] == L':') parent += L'\\';
  return true;
}

CapturedRecord CaptureFileRecord(Session& s, const std::wstring& stored, const std::wstring& owner,
                                 const std::wstring& saveName, const std::wstring& extraArguments) {
  CapturedRecord out;
  // A record that RestoreFromDataBlock would refuse could never put the
  // security back, so the object must not be opened on its strength.
  std::wstring parent, leaf;
  if (!SplitForRestore(stored, parent, leaf)) {
    out.status = Capture::kNotRestorable;
    return out;
  }
  if (!EnsureWorkingFolders(s)) {
    out.status = Capture::kNoWorkingFolder;
    return out;
  }
  const std::wstring saved = TempFolder(s) + L"\\" + saveName;
  // A file left by an earlier line or run must never be read as this one's.
  DeleteTemporary(s, saved);
  out.run = RunIcacls(s, L" " + QuoteArgument(stored) + L" /save " + QuoteArgument(saved) + extraArguments);
  if (!out.run.started) {
    out.status = Capture::kNotStarted;
  } else if (out.run.Failure() != 0) {
    out.status = Capture::kFailed;
  } else {
    SavedAcl acl;
    SavedAclStatus parsed = ReadIcaclsSave(s, saved, stored, acl);
    if (parsed == SavedAclStatus::kOk) {
      // Our own calls go through Sysnative under WOW64; icacls is the native
      // one and was given the System32 form.
      std::wstring recordedOwner =
          owner.empty() ? ReadOwner(s, MapSystem32Path(s, stored)).value_or(platform::sid::kNull) : owner;
      out.record = stored + L"|" + acl.sddl + L"|" + recordedOwner;
    }
    out.status = parsed == SavedAclStatus::kOk        ? Capture::kOk
                 : parsed == SavedAclStatus::kMissing ? Capture::kSaveMissing
                                                      : Capture::kSaveUnusable;
  }
  DeleteTemporary(s, saved);
  return out;
}

int AddFileDataBlock(Session& s, const std::wstring& path, const std::wstring& owner) {
  std::wstring stored = StoredPath(s, path);
  if (stored.empty()) return datablock::kEmptyPath;
  if (!s.os.fs.GetAttributes(MapSystem32Path(s, stored)).ok()) return datablock::kObjectMissing;
  std::wstring parent, leaf;
  if (!SplitForRestore(stored, parent, leaf)) return datablock::kNotRestorable;
  DataBlockStore store;
  if (!store.Load(s)) return datablock::kStoreUnreadable;
  if (store.FindFileRecord(stored)) return datablock::kAlreadyStored;

  CapturedRecord captured = CaptureFileRecord(s, stored, owner, L"outaclfile", L"");
  switch (captured.status) {
    case Capture::kOk:
      break;
    case Capture::kNotRestorable:
      return datablock::kNotRestorable;
    case Capture::kNoWorkingFolder:
      return datablock::kNoWorkingFolder;
    case Capture::kNotStarted:
      return datablock::kIcaclsNotStarted;
    case Capture::kFailed:
      TraceErrorCode(s, captured.run.Failure(),
                     L"Failure code returned from icacls process in AddFileDataBlock. Error code ");
      return datablock::kIcaclsFailed;
    case Capture::kSaveMissing:
    case Capture::kSaveUnusable:
      TraceError(s, L"The DACL that icacls saved for " + stored + L" could not be read.");
      return datablock::kSavedAclUnusable;
  }
  store.Add(captured.record);
  return store.Save(s) ? datablock::kStored : datablock::kStoreNotWritten;
}

int ReplaceFileDataBlock(Session& s, const std::wstring& path, const std::wstring& sddl) {
  std::wstring stored = StoredPath(s, path);
  // "O:" owner, then "G:" group and/or "D:" DACL; the DACL runs to the end.
  size_t dacl = sddl.find(L"D:");
  size_t group = sddl.find(L"G:");
  size_t ownerEnd = std::min(dacl, group);
  if (stored.empty() || !FitsInRecord(sddl) || !StartsWith(sddl, L"O:") || dacl == std::wstring::npos ||
      ownerEnd <= 2)
    return datablock::kDescriptorUnusable;
  std::wstring owner = sddl.substr(2, ownerEnd - 2);
  DataBlockStore store;
  if (!store.Load(s)) return datablock::kStoreUnreadable;
  store.Remove({stored});
  store.Add(stored + L"|" + sddl.substr(dacl) + L"|" + owner);
  return store.Save(s) ? datablock::kStored : datablock::kStoreNotWritten;
}

bool RestoreFromDataBlock(Session& s, const std::wstring& pathIn, std::wstring& report) {
  std::wstring path = StoredPath(s, pathIn);
  DataBlockStore store;
  // An unreadable store is not an empty one: the record may well be there.
  if (!store.Load(s)) {
    report += L"Failed to read stored datablocks for file or folder " + path +
              L" in RestoreFromDataBlock with error code " + ErrorCodeName(store.error()) + L".\r\n";
    return false;
  }
  const std::wstring* record = store.FindFileRecord(path);
  if (!record) {
    report += L"Failed to find stored datablock for file " + path + L" in RestoreFromDataBlock.\r\n";
    return false;
  }
  std::vector<std::wstring> fields = Split(*record, L"|");
  // A record without a DACL would hand icacls an empty line to apply.
  if (fields.size() < 2 || !StartsWith(fields[1], L"D:")) {
    report += L"Failed to find stored datablock for file or folder " + path + L" in RestoreFromDataBlock.\r\n";
    return false;
  }
  const std::wstring sddl = fields[1];
  const std::wstring owner = fields.size() > 2 ? fields[2] : L"";

  std::wstring parent, leaf;
  if (!SplitForRestore(path, parent, leaf)) {
    report += L"Fatal error: Trailing backslash or length error for file or folder " + path +
              L" in RestoreFromDataBlock.\r\n";
    return false;
  }

  const std::wstring aclFile = TempFolder(s) + L"\\outaclfile";
  // The layout icacls itself writes: UTF-16LE without a byte-order mark.
  if (!WriteTempFile(s, L"outaclfile", leaf + L"\r\n" + sddl + L"\r\n", TextEncoding::kRawUtf16)) {
    report += L"Failed to write temporary file for file or folder " + path + L" in RestoreFromDataBlock.\r\n";
    return false;
  }

  const std::wstring local = MapSystem32Path(s, path);
  auto& fs = s.os.fs;
  uint32_t savedAttributes = 0;
  bool attributesChanged = false;
  auto attributes = fs.GetAttributes(local);
  if (attributes.ok()) {
    if (*attributes & (attr::kReadOnly | attr::kHidden)) {
      auto cleared = fs.SetAttributes(local, *attributes & ~(attr::kReadOnly | attr::kHidden));
      if (cleared.ok()) {
        savedAttributes = *attributes;
        attributesChanged = true;
      } else {
        report += L"Failed to set file attributes for file or folder " + path + L" with error code " +
                  ErrorCodeName(cleared.code()) + L".\r\n";
      }
    }
  } else {
    auto again = fs.GetAttributes(local);
    if (!again.ok() || (*again & attr::kDirectory))
      report += L"Failed to read file attributes for file or folder " + path + L".\r\n";
  }

  RunOutcome run = RunIcacls(s, L" " + QuoteArgument(parent) + L" /restore " + QuoteArgument(aclFile));

  if (attributesChanged) {
    auto reset = fs.SetAttributes(local, savedAttributes);
    if (!reset.ok())
      report += L"Failed to reset file attributes for file or folder " + path + L" with error code " +
                ErrorCodeName(reset.code()) + L".\r\n";
  }

  bool ok = true;
  // An icacls that never ran, or was not seen to end well, restored nothing.
  uint32_t failure = run.Failure();
  if (failure != 0) {
    TraceErrorCode(s, failure, L"Failure code returned from icacls process in RestoreFromDataBlock function. Error code ");
    report += L"Failure code returned from icacls process in RestoreFromDataBlock function for file or folder " + path +
              L". Error code " + ErrorCodeName(failure) + L".\r\n";
    ok = false;
  }

  if (!WriteOwner(s, report, path, owner)) {
    report += L"Failed to restore owner for file or folder " + path + L" in RestoreFromDataBlock.\r\n";
    ok = false;
  }
  DeleteTemporary(s, aclFile);
  return ok;
}

// ---------------------------------------------------------------------------
}  // namespace corvex
