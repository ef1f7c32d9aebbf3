#include "registry/database_entry.h"

#include <algorithm>

#include "base/text.h"

namespace corvex {

namespace {

constexpr int kMaxNesting = 8;

std::vector<ValueDataPair> Pairs(const std::vector<std::wstring>& fields, size_t from) {
  std::vector<ValueDataPair> pairs;
  for (size_t i = from; i < fields.size(); ++i) pairs.push_back(ValueDataPair::Parse(fields[i]));
  return pairs;
}

std::wstring JoinPairs(const std::vector<ValueDataPair>& pairs, const wchar_t* sep) {
  std::wstring text;
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i) text += sep;
    text += pairs[i].Serialise();
  }
  return text;
}

std::unique_ptr<RegistryKeyDatabaseEntry> ParseCatalog(const std::wstring& text) {
  std::vector<std::wstring> fields = Split(text, L"|");
  if (fields.size() < 2 || fields[0].empty()) return nullptr;
  auto entry = std::make_unique<CatalogKeyDatabaseEntry>(fields[0]);
  entry->catalogValues.assign(fields.begin() + 1, fields.end());
  return entry;
}

std::unique_ptr<RegistryKeyDatabaseEntry> ParseDeployment(const std::wstring& text) {
  std::vector<std::wstring> fields = Split(text, L"[]");
  if (fields.size() < 4 || fields[0].empty()) return nullptr;
  auto entry = std::make_unique<DeploymentKeyDatabaseEntry>(fields[0]);
  entry->appid = fields[1];
  entry->thumbprint = fields[2];
  if (!(fields.size() == 4 && fields[3].empty())) entry->values = Pairs(fields, 3);
  return entry;
}

std::unique_ptr<RegistryKeyDatabaseEntry> ParseComponent(const std::wstring& text) {
  std::vector<std::wstring> fields = Split(text, L"[-]");
  if (fields.size() < 4 || fields[0].empty()) return nullptr;
  auto entry = std::make_unique<ComponentKeyDatabaseEntry>(fields[0]);
  entry->identity = fields[1];
  entry->s256h = fields[2];
  entry->catalog = fields[3];
  for (size_t i = 4; i < fields.size(); ++i) {
    FMark mark;
    if (!FMark::Parse(fields[i], mark)) return nullptr;
    entry->files.push_back(std::move(mark));
  }
  return entry;
}

std::unique_ptr<VersionedIndexKeyDatabaseEntry> MakeVersionedIndex(EntryKind kind, const std::wstring& name) {
  switch (kind) {
    case EntryKind::kVersionedIndexVista:
      return std::make_unique<VersionedIndexKeyDatabaseEntry_WindowsVista>(name);
    case EntryKind::kVersionedIndex7:
      return std::make_unique<VersionedIndexKeyDatabaseEntry_Windows7>(name);
    default:
      return std::make_unique<VersionedIndexKeyDatabaseEntry_Windows8>(name);
  }
}

std::unique_ptr<RegistryKeyDatabaseEntry> ParseVersionedIndex(EntryKind kind, const std::wstring& text) {
  std::vector<std::wstring> groups = Split(text, L"[--]");
  if (groups.size() < 2) return nullptr;
  if (kind == EntryKind::kVersionedIndexVista && groups.size() != 2) return nullptr;
  std::vector<std::wstring> head = Split(groups[0], L"[-]");
  if (head.size() != 2 || head[0].empty()) return nullptr;
  auto entry = MakeVersionedIndex(kind, head[0]);
  entry->unparsedVersions = head[1];
  if (!groups[1].empty()) entry->values = Pairs(Split(groups[1], L"[-]"), 0);
  for (size_t g = 2; g < groups.size(); ++g) {
    std::vector<std::wstring> fields = Split(groups[g], L"[-]");
    if (fields[0].empty()) return nullptr;
    entry->subkeys.push_back({fields[0], Pairs(fields, 1)});
  }
  return entry;
}

// One piece without its "*" children.
std::unique_ptr<RegistryKeyDatabaseEntry> ParsePiece(EntryKind kind, const std::wstring& text) {
  switch (kind) {
    case EntryKind::kCatalog:
      return ParseCatalog(text);
    case EntryKind::kDeployment:
      return ParseDeployment(text);
    case EntryKind::kComponent:
      return ParseComponent(text);
    default:
      return ParseVersionedIndex(kind, text);
  }
}

// Recursion is bounded: every level strips a "*" and stops past the cap.
std::unique_ptr<RegistryKeyDatabaseEntry> ParseNode(EntryKind kind, std::wstring text, int depth) {
  std::vector<std::wstring> childPieces;
  while (!text.empty() && text[0] == L'*') {
    if (++depth > kMaxNesting) return nullptr;
    std::vector<std::wstring> pieces = Split(text.substr(1), L"**");
    text = pieces[0];
    childPieces.insert(childPieces.end(), pieces.begin() + 1, pieces.end());
  }
  auto entry = ParsePiece(kind, text);
  if (!entry) return nullptr;
  for (const std::wstring& piece : childPieces) {
    auto child = ParseNode(kind, piece, depth);
    if (!child) return nullptr;
    entry->children.push_back(std::move(child));
  }
  return entry;
}

}  // namespace

ValueDataPair ValueDataPair::Parse(const std::wstring& text) {
  size_t bar = text.find(L'|');
  if (bar == std::wstring::npos) return ValueDataPair(text, L"");
  return ValueDataPair(text.substr(0, bar), text.substr(bar + 1));
}

bool FMark::Parse(const std::wstring& text, FMark& mark) {
  std::vector<std::wstring> fields = Split(text, L"|");
  if (fields.size() != 4) return false;
  mark = FMark(ValueDataPair(fields[0], fields[1]), fields[2], fields[3]);
  return true;
}

std::wstring FMark::Serialise() const { return pair.Serialise() + L"|" + type + L"|" + size; }

bool RegistryKeyDatabaseEntry::Equals(const RegistryKeyDatabaseEntry& other) const {
  return Kind() == other.Kind() && DatabaseLine() == other.DatabaseLine();
}

std::wstring RegistryKeyDatabaseEntry::DatabaseLine() const {
  if (children.empty()) return Serialise();
  std::wstring line = L"*" + Serialise();
  for (auto& child : children) line += L"**" + child->DatabaseLine();
  return line;
}

std::wstring CatalogKeyDatabaseEntry::Serialise() const { return keyName + L"|" + Join(catalogValues, L"|"); }

std::wstring DeploymentKeyDatabaseEntry::Serialise() const {
  return keyName + L"[]" + appid + L"[]" + thumbprint + L"[]" + JoinPairs(values, L"[]");
}

std::wstring ComponentKeyDatabaseEntry::Serialise() const {
  std::wstring text = keyName + L"[-]" + identity + L"[-]" + s256h + L"[-]" + catalog;
  for (const FMark& mark : files) text += L"[-]" + mark.Serialise();
  return text;
}

std::wstring VersionedIndexKeyDatabaseEntry::SerialiseGroups(bool withSubKeys) const {
  std::wstring text = keyName + L"[-]" + unparsedVersions + L"[--]" + JoinPairs(values, L"[-]");
  if (!withSubKeys) return text;
  for (const SubKey& sub : subkeys) {
    text += L"[--]" + sub.name;
    for (const ValueDataPair& pair : sub.values) text += L"[-]" + pair.Serialise();
  }
  return text;
}

bool VersionedIndexKindFor(const std::wstring& windowsVersion, EntryKind& kind) {
  if (windowsVersion == L"6.0") {
    kind = EntryKind::kVersionedIndexVista;
  } else if (windowsVersion == L"6.1") {
    kind = EntryKind::kVersionedIndex7;
  } else if (windowsVersion == L"6.2" || windowsVersion == L"6.3" || windowsVersion == L"10.0") {
    kind = EntryKind::kVersionedIndex8;
  } else {
    return false;
  }
  return true;
}

std::unique_ptr<RegistryKeyDatabaseEntry> ParseDatabaseLine(EntryKind kind, const std::wstring& line) {
  return ParseNode(kind, line, 0);
}

void RegistryDatabase::Read(EntryKind kind, const std::wstring& text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    size_t stop = end > start && text[end - 1] == L'\r' ? end - 1 : end;
    if (stop > start) {
      auto entry = ParseDatabaseLine(kind, text.substr(start, stop - start));
      if (entry) {
        index_.emplace_back(ToUpper(entry->keyName), entries_.size());
        entries_.push_back(std::move(entry));
      } else {
        ++skipped_;
      }
    }
    start = end + 1;
  }
  // Stable, so that the first of equal names is the one found.
  std::stable_sort(index_.begin(), index_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

const RegistryKeyDatabaseEntry* RegistryDatabase::Find(const std::wstring& keyName) const {
  std::wstring upper = ToUpper(keyName);
  auto it = std::lower_bound(index_.begin(), index_.end(), upper,
                             [](const auto& item, const std::wstring& name) { return item.first < name; });
  if (it == index_.end() || it->first != upper) return nullptr;
  return entries_[it->second].get();
}

std::wstring RegistryDatabase::SkippedSentence(const std::wstring& fileName) const {
  if (skipped_ == 0) return L"";
  return L"WARNING: " + Decimal(skipped_) + L" lines of the registry database file " + fileName +
         L" could not be read and were skipped.\r\n";
}

}  // namespace corvex
