#include "registry/registry_script.h"

#include "base/registry_text.h"
#include "base/text.h"
#include "core/datablock_store.h"
#include "core/session_log.h"
#include "core/working_folders.h"
#include "registry/registry_access.h"
#include "registry/registry_permissions.h"

namespace corvex {

using platform::RootKey;

namespace {

constexpr wchar_t kVersion5[] = L"Windows Registry Editor Version 5.00";
constexpr wchar_t kRegedit4[] = L"REGEDIT4";
constexpr wchar_t kScriptFile[] = L"RegistryScript";
constexpr uint32_t kSearchAccess = 0x10F;  // query, set, create, enumerate, 64-bit view

class ScriptRun {
 public:
  ScriptRun(Session& s, const std::wstring& archive, bool mode1) : s_(s), archive_(archive), mode1_(mode1) {}

  void Line(const std::wstring& raw) {
    if (IEquals(raw, kVersion5) || IEquals(raw, kRegedit4)) {
      format_ = IEquals(raw, kVersion5) ? kVersion5 : kRegedit4;
      return;
    }
    // A string running over several lines holds its lines as they are.
    if (inString_) {
      inString_ = RegistryStringOpenAfter(raw, true);
      block_.push_back(raw);
      return;
    }
    std::wstring line = Trim(raw);
    if (line.empty() || line[0] != L'[') {
      if (keyPath_.empty()) {
        TraceInfo(s_, L"Registry script line before any key line ignored: " + line);
        return;
      }
      inString_ = RegistryStringOpenAfter(line, false);
      if (inString_) line = raw.substr(raw.find_first_not_of(L" \t"));
      // A split hexadecimal value continues on the next line.
      if (!inString_ && !line.empty() && line.back() == L',') line += L'\\';
      block_.push_back(line);
      return;
    }
    if (!block_.empty()) CloseBlock();
    if (taken_) RestoreBlock();
    if (line == L"[]") {
      done_ = true;
      return;
    }
    OpenBlock(line);
  }

  bool done() const { return done_; }

  // The end marker closes the last block even when a string was left open:
  // a block is never left with its key opened up and nothing reported.
  void End() {
    inString_ = false;
    Line(L"[]");
  }

  bool Finish(std::wstring& report) {
    if (!hiveReport_.empty()) report += hiveReport_ + L"\r\n\r\n";
    report += Trim(Join(takes_, L"\r\n")) + L"\r\n\r\n" + Trim(Join(imports_, L"\r\n")) + L"\r\n\r\n" +
              Trim(Join(restores_, L"\r\n"));
    return ok_;
  }

 private:
  bool Deletion() const { return StartsWith(keyPath_, L"-"); }
  std::wstring Key() const { return Deletion() ? keyPath_.substr(1) : keyPath_; }
  // The key path's root with the separator after it: "HKEY_CURRENT_USER\".
  std::wstring RootPart() const {
    std::wstring key = Key();
    size_t sep = key.find_first_of(L"\\/");
    return sep == std::wstring::npos ? key + L"\\" : key.substr(0, sep + 1);
  }
  std::wstring TargetPath() const {
    if (!target_.empty()) return RootPart() + target_;
    std::wstring root = RootPart();
    return root.substr(0, root.size() - 1);
  }

  void CloseBlock() {
    const std::wstring key = Key();
    const std::wstring verb = Deletion() ? L"delete" : L"import";
    const std::wstring done = Deletion() ? L"deleted" : L"imported";
    lastImported_ = false;
    std::vector<std::wstring> block;
    block.swap(block_);
    if (rootKey_) {
      imports_.push_back(L"Failed to " + verb + L" registry key " + key +
                         L". A root key cannot be created under this hive.");
      ok_ = false;
      rootKey_ = false;
      return;
    }
    // No import without its backup: a change that cannot be undone from the
    // backup folder is not made.
    if (!mode1_ && !ExportRegistryKeyToBackup(s_, key)) {
      imports_.push_back(L"Failed to create backup for registry key " + key + L". The key was not " + done + L".");
      ok_ = false;
      return;
    }
    block[0] = format_ + L"\r\n" + block[0];
    auto written = WriteTempFile(s_, kScriptFile, Join(block, L"\r\n"));
    uint32_t failure = written.code();
    bool exitOne = false;
    if (failure == 0 && !(s_.skipMask & skip::kRegistryImport)) {
      RunOutcome run = RunReg(s_, L" IMPORT " + QuoteRegArgument(TempFolder(s_) + L"\\" + kScriptFile));
      failure = run.Failure();
      exitOne = run.started && !run.waitError && !run.readError && run.exitCode == 1;
    }
    if (failure == 0) {
      imports_.push_back(L"Successfully " + done + L" registry key " + key + L".");
      lastImported_ = true;
    } else if (exitOne) {
      imports_.push_back(L"Failed to " + verb + L" registry key " + key + L".");
      ok_ = false;
    } else {
      imports_.push_back(L"Failed to " + verb + L" registry key " + key + L" with error code " +
                         ErrorCodeName(failure) + L".");
      ok_ = false;
    }
  }

  void RestoreBlock() {
    taken_ = false;
    const std::wstring target = TargetPath();
    // The key this deletion removed is gone with its security; only an
    // ancestor that was opened up is left to restore.
    if (Deletion() && lastImported_ && IEquals(target, Key())) return;
    Lines list;
    if (mode1_) list.push_back(L"[MODE:2]");
    for (std::wstring p = keyPath_; !p.empty() && p[0] != L'-' && !IEquals(p, target);) {
      list.push_back(p);
      // Keys the import made take the security of the key they were made in.
      CopyRegistryDataBlock(s_, target, p);
      size_t slash = p.rfind(L'\\');
      p = slash == std::wstring::npos ? L"" : p.substr(0, slash);
    }
    list.push_back(target);
    std::wstring r;
    if (!RegistryRestorePermissionsDirective(s_, list, archive_, r)) ok_ = false;
    restores_.push_back(Trim(r));
  }

  void OpenBlock(const std::wstring& line) {
    size_t close = line.rfind(L']');
    std::wstring inner = close == std::wstring::npos || close == 0 ? line.substr(1) : line.substr(1, close - 1);
    // The "-" of a deletion is not part of the root: "[-HKLM\X]" names
    // HKEY_LOCAL_MACHINE\X like every other form of it.
    const bool deletion = StartsWith(inner, L"-");
    if (deletion) inner.erase(0, 1);
    inner = ExpandRootAbbreviation(ReplaceAll(inner, L"/", L"\\"));
    const std::wstring normalised = L"[" + std::wstring(deletion ? L"-" : L"") + inner + L"]";

    if (!componentsLoaded_ && IStartsWith(inner, L"HKEY_LOCAL_MACHINE\\COMPONENTS\\")) {
      componentsLoaded_ = true;
      std::wstring r;
      if (!LoadHiveDirective(s_, {L"COMPONENTS"}, archive_, r)) {
        hiveReport_ += Trim(r);
        ok_ = false;
      }
    }
    keyPath_ = (deletion ? L"-" : L"") + inner;
    size_t sep = inner.find(L'\\');
    const RootKey root = RootKeyFromName(inner.substr(0, sep));
    std::wstring sub = sep == std::wstring::npos ? L"" : inner.substr(sep + 1);

    rootKey_ = false;
    for (;;) {
      auto key = s_.os.registry.OpenKey(root, sub, kSearchAccess);
      if (key.ok() || key.code() != platform::err::kFileNotFound || sub.empty()) break;
      size_t slash = sub.rfind(L'\\');
      if (slash != std::wstring::npos) {
        sub.erase(slash);
        continue;
      }
      // Nothing can be made directly under these roots: they hold hives.
      if (root == RootKey::kLocalMachine || root == RootKey::kUsers)
        rootKey_ = true;
      else
        sub.clear();
      break;
    }
    if (!rootKey_) {
      target_ = sub;
      Lines take;
      if (mode1_) take.push_back(L"[MODE:2]");
      take.push_back(TargetPath());
      std::wstring r;
      if (!RegistryTakePermissionsDirective(s_, take, archive_, r)) ok_ = false;
      takes_.push_back(Trim(r));
      taken_ = true;
    }
    block_ = {normalised};
  }

  Session& s_;
  const std::wstring archive_;
  const bool mode1_;
  std::wstring format_ = kVersion5;
  std::vector<std::wstring> block_;
  std::wstring keyPath_;
  std::wstring target_;
  bool taken_ = false;
  bool rootKey_ = false;
  bool componentsLoaded_ = false;
  bool lastImported_ = false;
  bool inString_ = false;
  bool done_ = false;
  bool ok_ = true;
  std::wstring hiveReport_;
  std::vector<std::wstring> takes_, imports_, restores_;
};

}  // namespace

bool RegistryScriptDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report) {
  const bool mode1 = !lines.empty() && lines.front() == L"[MODE:1]";
  if (mode1) lines.erase(lines.begin());
  ScriptRun run(s, archive, mode1);
  for (auto& line : lines) {
    run.Line(line);
    if (run.done()) break;
  }
  if (!lines.empty() && !run.done()) run.End();
  return run.Finish(report);
}

bool RegSetDirective(Session&, Lines lines, const std::wstring&, std::wstring&) {
  for (auto& line : lines) Split(line, L"|");
  return true;
}

}  // namespace corvex
