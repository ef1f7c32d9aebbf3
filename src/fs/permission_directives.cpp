#include "fs/permission_directives.h"

#include "base/path.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "base/text.h"
#include "core/working_folders.h"
#include "fs/datablocks.h"
#include "fs/hardlinks.h"
#include "fs/manifest_security.h"
#include "fs/security_primitives.h"
#include "platform/filesystem.h"
#include "core/text_reader.h"

namespace corvex {

static const wchar_t kQuietMode[] = L"[MODE:1]";

// Takes a leading "[MODE:1]" off the lines; true when there was one.
static bool TakeQuietMode(Lines& lines) {
  if (lines.empty() || lines.front() != kQuietMode) return false;
  lines.erase(lines.begin());
  return true;
}

static std::wstring WithoutQuotes(const std::wstring& line) { return ReplaceAll(line, L"\"", L""); }

// What quiet mode still writes of a report text: every sentence but those
// that tell of a success.
static std::wstring WithoutSuccesses(const std::wstring& text) {
  std::wstring kept;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    end = end == std::wstring::npos ? text.size() : end + 2;
    std::wstring sentence = text.substr(start, end - start);
    if (!StartsWith(sentence, L"Successfully ")) kept += sentence;
    start = end;
  }
  return kept;
}

bool TrustedInstallerDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  bool ok = true;
  EnableRestorePrivilege(s);
  if (!OpenCurrentProcessToken(s))
    report += L"Failed to initialise current process access token in TrustedInstaller directive.\r\n";
  if (!SetTakeOwnershipPrivilege(s, true))
    report += L"Failed to enable privilege in access token in TrustedInstaller directive.\r\n";
  if (!InitCurrentUserSid(s)) report += L"Failed to initialise Current User SID in TrustedInstaller directive.\r\n";

  for (auto& line : lines) {
    const std::wstring path = WithoutQuotes(line);
    const std::wstring shown = StripLongPathPrefix(path);
    if (!SetOwner(s, s.security.currentUserSid, path).ok())
      report += L"Failed to set ownership to current user for file or folder " + shown + L". Proceeding anyway.\r\n";
    InitTrustedInstallerSid(s);
    auto given = SetOwner(s, s.security.trustedInstallerSid, path);
    if (given.ok()) {
      report += L"Successfully set file ownership to TrustedInstaller for " + shown + L"\r\n";
    } else {
      report += L"Failed to set file ownership to TrustedInstaller for " + shown + L". Error code " +
                HexCode(given.code()) + L"\r\n";
      ok = false;
    }
    // A failed write released the state; the next line needs the user again.
    if (s.security.currentUserSid.empty()) InitCurrentUserSid(s);
  }

  if (!DisableOwnershipPrivileges(s, L" in TrustedInstaller directive.\r\n", report)) ok = false;
  ReleaseSecurityState(s);
  return ok;
}

bool TakePermissionsDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  const bool quiet = TakeQuietMode(lines);
  bool ok = true;
  for (auto& line : lines) {
    const std::wstring path = WithoutQuotes(line);
    const std::wstring shown = StripLongPathPrefix(path);
    if (!EnableNamedPrivilege(s, L"SeBackupPrivilege")) {
      DisableNamedPrivilege(s, L"SeBackupPrivilege");
      report += L"Failed to enable privilege 1 in access token for file or folder " + shown + L"\r\n";
      ok = false;
      continue;
    }
    if (!InitEveryoneSid(s)) {
      report += L"Failed to initialise SID for universal well-known SID 'World' for file or folder " + shown + L"\r\n";
      ok = false;
      continue;
    }
    if (!BuildEveryoneDacl(s)) {
      report += L"Failed to set permissions data into ACL for file or folder " + shown + L"\r\n";
      ok = false;
      continue;
    }
    if (!OpenCurrentProcessToken(s)) {
      report += L"Failed to initialise current process access token for file or folder " + shown + L"\r\n";
      ok = false;
      continue;
    }
    if (!EnableRestorePrivilege(s)) {
      DisableRestorePrivilege(s);
      report += L"Failed to enable privilege 2 in access token for file or folder " + shown + L"\r\n";
      ok = false;
      continue;
    }
    if (!SetTakeOwnershipPrivilege(s, true)) {
      SetTakeOwnershipPrivilege(s, false);
      report += L"Failed to enable privilege 3 in access token for file or folder " + shown + L"\r\n";
      ok = false;
      continue;
    }
    InitCurrentUserSid(s);

    // Read before anything changes: this is the owner a restore gives back.
    auto read = ReadOwner(s, path);
    const bool ownerRead = read.ok();
    std::wstring owner = read.value_or(L"");
    if (!ownerRead) {
      report += L"Failed to read ownership for file or folder " + shown + L". Taking TrustedInstaller to be owner.\r\n";
      owner = platform::sid::kTrustedInstaller;
    }

    // A failed primitive released the state; make again what the next one
    // needs rather than hand it an empty SID.
    SecurityState& st = s.security;
    bool ownerChanged = false;
    if (st.currentUserSid.empty()) InitCurrentUserSid(s);
    if (SetOwner(s, st.currentUserSid, path).ok()) {
      ownerChanged = true;
    } else {
      report += L"Failed to set ownership to current user for file or folder " + shown + L"\r\n";
      ok = false;
    }
    if (st.everyoneSid.empty()) InitEveryoneSid(s);
    if (SetOwner(s, st.everyoneSid, path).ok()) {
      ownerChanged = true;
    } else {
      report += L"Failed to set ownership to Everyone for file or folder " + shown + L"\r\n";
      ok = false;
    }

    // The record is written before the DACL is opened, and a record already
    // there is kept, so the first security ever saved is what comes back.
    int added = AddFileDataBlock(s, path, owner);
    if (added < 0) {
      report += L"Failed to create new datablock for file or folder " + shown + L" with return code " +
                DecimalSigned(added) + L".\r\n";
      ok = false;
      // Nothing records the owner now, so it goes back at once rather than
      // leave the object owned by Everyone.
      if (ownerChanged && ownerRead) WriteOwner(s, report, path, owner, OwnerWrite::kUndo);
      continue;
    }

    if (!SetEveryoneDacl(s, path).ok()) {
      report += L"Failed to set ACLs for file or folder " + shown + L"\r\n";
      ok = false;
    } else if (!quiet) {
      report += L"Successfully took permissions for file or folder " + shown + L"\r\n";
    }

    const std::wstring where = L" for file or folder " + shown + L"\r\n";
    if (!DisableOwnershipPrivileges(s, where, report)) ok = false;
    if (!DisableNamedPrivilege(s, L"SeBackupPrivilege")) {
      report += L"Failed to disable privilege 3 in process access token" + where;
      ok = false;
    }
  }
  ReleaseSecurityState(s);
  return ok;
}

bool RestorePermissionsDirective(Session& s, Lines lines, const std::wstring&, std::wstring& report) {
  const bool quiet = TakeQuietMode(lines);
  bool ok = true;
  for (auto& line : lines) {
    const std::wstring path = WithoutQuotes(line);
    std::wstring text;
    if (!RestoreFromDataBlock(s, path, text)) {
      report += text;
      ok = false;
    } else if (!quiet) {
      report += text + L"Successfully restored permissions on " + StripLongPathPrefix(path) + L"\r\n";
    } else {
      // A restore can succeed and still have failed at something on the way
      // (the file's attributes, the owner change before the last one); quiet
      // mode leaves out the successes only.
      report += WithoutSuccesses(text);
    }
  }
  ReleaseSecurityState(s);
  return ok;
}

// The first link inside a component folder of the store, or empty.
static std::wstring FirstStoreLink(const HardLinkRecord& links, const std::wstring& storePrefix) {
  for (auto& link : links.paths)
    if (IStartsWith(link, storePrefix) && link.find(L'\\', storePrefix.size()) != std::wstring::npos) return link;
  return L"";
}

bool RepairPermissionsDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report) {
  bool ok = true;
  const std::wstring storePrefix = s.os.env.Expand(L"%SystemRoot%\\winsxs\\", 512);
  const std::wstring manifests = s.os.env.Expand(L"%SystemRoot%\\winsxs\\Manifests\\", 512);

  std::vector<std::wstring> work;
  for (auto& line : lines) work.push_back(WithoutQuotes(line));
  for (size_t i = 0; i < work.size(); ++i) {
    const std::wstring path = work[i];
    const std::wstring shown = StripLongPathPrefix(path);
    const std::wstring local = MapSystem32Path(s, path);
    auto a = s.os.fs.GetAttributes(local);
    if (a.ok() && (*a & platform::attr::kDirectory)) {
      // The folder that was tested is the one listed, and a trailing "\"
      // must not give its files a doubled one, which the hard-link query's
      // NT path would not accept.
      std::wstring folder = local;
      while (folder.size() > 1 && folder.back() == L'\\') folder.pop_back();
      for (auto& file : ListFiles(s, folder, L"*.*", true)) work.push_back(file);
      continue;
    }

    HardLinkRecord links;
    if (auto found = HardLinksOfPath(s, path); found.ok()) links = *found;
    const std::wstring storeLink = FirstStoreLink(links, storePrefix);
    if (storeLink.empty()) {
      report += L"Failed to identify winsxs copy for file " + shown + L". There may be file or hardlink damage.\r\n";
      ok = false;
      continue;
    }

    const std::wstring rest = storeLink.substr(storePrefix.size());
    const std::wstring component = rest.substr(0, rest.find(L'\\'));
    const std::wstring fileName = storeLink.substr(storeLink.rfind(L'\\') + 1);
    ManifestSecurity found = FindFileSecurity(ReadTextFile(s, manifests + component + L".manifest").value_or(L""), fileName);
    if (found.state == ManifestLookup::kNoFile) {
      report += L"Failed to identify file name in manifest for file " + shown + L". There may be manifest damage.\r\n";
      ok = false;
      continue;
    }
    if (found.state == ManifestLookup::kNoDescriptorName) {
      report += L"Failed to identify security descriptor name for file " + shown +
                L". There may be manifest damage.\r\n";
      ok = false;
      continue;
    }
    int replaced = found.state == ManifestLookup::kFound ? ReplaceFileDataBlock(s, storeLink, found.sddl)
                                                         : datablock::kDescriptorUnusable;
    if (replaced == datablock::kDescriptorUnusable) {
      report += L"Failed to identify security descriptor for file " + shown + L". There may be manifest damage.\r\n";
      ok = false;
      continue;
    }
    if (replaced < 0) {
      report += L"Failed to create new datablock for file or folder " + storeLink + L" with return code " +
                DecimalSigned(replaced) + L".\r\n";
      ok = false;
      continue;
    }

    std::wstring takeReport;
    bool taken = TakePermissionsDirective(s, {storeLink}, archive, takeReport);
    if (!taken) report += takeReport;
    // Hard links share one security descriptor: restoring the store link
    // repairs every name of the file. It runs after a failed take too, so
    // that whatever the take changed is put right.
    std::wstring restoreReport;
    bool restored = RestoreFromDataBlock(s, storeLink, restoreReport);
    report += restoreReport;
    if (taken && restored) {
      report += L"Successfully repaired permissions and ownership on file " + shown + L" and all associated hardlinks.\r\n";
    } else {
      ok = false;
    }
  }
  ReleaseSecurityState(s);
  return ok;
}

}  // namespace corvex
