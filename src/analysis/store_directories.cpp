#include "analysis/store_checks.h"
#include "analysis/store_names.h"
#include "base/path.h"
#include "base/registry_text.h"
#include "base/text.h"
#include "core/session_log.h"
#include "core/system_facts.h"

namespace corvex {

using platform::RootKey;
namespace keyaccess = platform::keyaccess;

namespace {

void TraceSearch(Session& s, int location) {
  TraceError(s, L"Failed to identify missing store directories in location " + Decimal(static_cast<uint64_t>(location)));
}

bool IsFileEntry(const platform::RegistryValue& v) {
  return v.type == platform::regtype::kBinary && v.data.size() > 1 && StartsWith(v.name, L"f!");
}

}  // namespace

MissingStoreDirectories FindMissingStoreDirectories(Session& s, std::wstring& log) {
  MissingStoreDirectories result;
  s.analysis.storeIndex.reset();
  std::vector<std::wstring> names;
  if (uint32_t code = ListComponentKeys(s, TraceSearch, names)) {
    result.returnCode = 2;
    result.errorCode = code;
    s.analysis.notExamined.push_back(
        L"The store directories could not be checked against the COMPONENTS hive (error code " + ErrorCodeName(code) +
        L").");
    return result;
  }
  auto& reg = s.os.registry;
  const std::wstring store = SystemRoot(s) + L"\\winsxs\\";
  size_t unread = 0;
  for (const std::wstring& name : names) {
    auto key = reg.OpenKey(RootKey::kLocalMachine, std::wstring(kComponentsKey) + L"\\" + name,
                           keyaccess::kQueryValue | keyaccess::kWow64_64Key);
    if (!key.ok()) {
      TraceSearch(s, 4);
      ++unread;
      continue;
    }
    auto values = reg.Values(*key);
    if (!values.ok()) {
      TraceSearch(s, 5);
      ++unread;
    }
    bool ownsFiles = false;
    if (values.ok())
      for (auto& v : *values)
        if (IsFileEntry(v)) {
          ownsFiles = true;
          break;
        }
    if (!key->Close().ok()) TraceSearch(s, 6);
    if (!ownsFiles) continue;
    if (IsOutsideAllowedCharacters(name)) {
      log += L"WARNING: Unicode Registry Corruption Detected: HKEY_LOCAL_MACHINE\\" + std::wstring(kComponentsKey) +
             L"\\" + name + L"\n";
      continue;
    }
    // A name that is no store name never becomes a path.
    if (!IsStoreName(name)) {
      TraceError(s, L"Not a store directory name: " + name);
      continue;
    }
    auto attributes = s.os.fs.GetAttributes(AddLongPathPrefix(store + name));
    if (attributes.ok()) continue;
    // Only "not there" is missing; a directory that cannot be looked at
    // (access denied, say) is not recreated over itself.
    if (attributes.code() == platform::err::kFileNotFound || attributes.code() == platform::err::kPathNotFound) {
      result.paths.push_back(store + name);
    } else {
      TraceErrorCode(s, attributes.code(), L"Failed to look at store directory " + store + name + L": ");
      ++unread;
    }
  }
  if (unread > 0)
    s.analysis.notExamined.push_back(Decimal(unread) + L" component(s) of the COMPONENTS hive could not be checked for "
                                     L"their store directories.");
  return result;
}

}  // namespace corvex
