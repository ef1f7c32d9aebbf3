// Store directory names: their parts, the test that a key name of the
// COMPONENTS hive is one before it becomes a path, and the index from a
// component's name to its keys that the store-name lookup builds once per
// run, so that a log of thousands of records does not walk the hive for
// each.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "core/session.h"

namespace corvex {

// arch_name_publickeytoken_version_culture_hash; the name may hold "_"
// ("dual_netbc63a.inf") and Windows shortens long ones with "..".
struct StoreNameParts {
  std::wstring architecture, name, publicKeyToken, version, culture, hash;
};
bool SplitStoreName(const std::wstring& keyName, StoreNameParts& parts);
// A name made only of the characters store names use, in the form above,
// that cannot climb out of or reach past %SystemRoot%\winsxs.
bool IsStoreName(const std::wstring& keyName);
// `shortened` equals `full`, or (with "..") starts and ends as `full` does;
// both without regard to case.
bool MatchesShortened(const std::wstring& shortened, const std::wstring& full);

struct StoreIndexEntry {
  std::wstring keyName;
  std::wstring identity;  // the identity value, each byte a character
};

struct StoreIndex {
  // Keyed by the lower-case component name of the identity value.
  std::unordered_map<std::wstring, std::vector<StoreIndexEntry>> byComponent;
};

// Whether the identity value describes this component; each attribute is
// compared whole, never as a prefix.
bool IdentityDescribes(const std::wstring& identity, const std::wstring& name, const std::wstring& version,
                       const std::wstring& architecture, const std::wstring& culture,
                       const std::wstring& publicKeyToken);

// The COMPONENTS key every store check reads.
extern const wchar_t kComponentsKey[];

// Runs LoadHive:: on "COMPONENTS" (Windows 8 and later keep the hive
// loaded, and then that fails while the keys are there: only traced, as
// location 1) and lists the subkeys of the Components key. 0, or the code
// of the open (location 2) or the listing (location 3) that failed, each
// traced through `trace`.
uint32_t ListComponentKeys(Session& s, void (*trace)(Session&, int), std::vector<std::wstring>& names);

}  // namespace corvex
