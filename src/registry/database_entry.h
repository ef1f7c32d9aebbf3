// The registry database's entries: one key of the component store as the
// database server lists it, one line of text per key. A line that begins
// with "*" holds the key and its listed subkeys, split at "**".
//
// Layouts (fields in order; the separators are those of each tree's file):
//   catalogs.txt     key | c! value name | c! value name ...
//   deployments.txt  key [] appid text [] CatalogThumbprint [] name|hex data [] ...
//   components.txt   key [-] identity [-] S256H (hex) [-] c! value name [-] file mark [-] ...
//                    a file mark: f! name | data text | type (decimal) | size (decimal)
//   versionedIndexes key [-] SomeUnparsedVersionsExist ("0" or "1") [--] name|data [-] ... [--]
//                    then one group per subkey: subkey name [-] name|data [-] ...
//                    Vista lists no subkey groups; 7 lists v! subkeys; 8 and
//                    later both kinds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace corvex {

class ISerialisableDataObject {
 public:
  virtual std::wstring Serialise() const = 0;
  virtual ~ISerialisableDataObject() = default;
};

class ValueDataPair : public ISerialisableDataObject {
 public:
  ValueDataPair() = default;
  ValueDataPair(std::wstring name, std::wstring text) : value(std::move(name)), data(std::move(text)) {}
  // Split at the first "|"; a text without one is all value.
  static ValueDataPair Parse(const std::wstring& text);
  std::wstring Serialise() const override { return value + L"|" + data; }
  std::wstring value, data;
};

class FMark : public ISerialisableDataObject {
 public:
  FMark() = default;
  FMark(ValueDataPair valueData, std::wstring valueType, std::wstring dataSize)
      : pair(std::move(valueData)), type(std::move(valueType)), size(std::move(dataSize)) {}
  // Exactly four fields, else false.
  static bool Parse(const std::wstring& text, FMark& mark);
  std::wstring Serialise() const override;
  ValueDataPair pair;
  std::wstring type, size;
};

enum class EntryKind { kCatalog, kDeployment, kComponent, kVersionedIndexVista, kVersionedIndex7, kVersionedIndex8 };

class RegistryKeyDatabaseEntry {
 public:
  explicit RegistryKeyDatabaseEntry(std::wstring name) : keyName(std::move(name)) {}
  // The schema result code of an entry read from the live registry; 0 for
  // one read from the database.
  virtual uint32_t SchemaResult() const = 0;
  virtual std::wstring Serialise() const = 0;
  virtual ~RegistryKeyDatabaseEntry() = default;
  // Entries of different kinds are never equal; others by their lines.
  virtual bool Equals(const RegistryKeyDatabaseEntry& other) const;
  bool Differs(const RegistryKeyDatabaseEntry& other) const { return !Equals(other); }

  virtual EntryKind Kind() const = 0;
  // The database line: Serialise(), with the children after "*" and "**".
  std::wstring DatabaseLine() const;

  std::wstring keyName;
  std::vector<std::unique_ptr<RegistryKeyDatabaseEntry>> children;
};

class CatalogKeyDatabaseEntry : public RegistryKeyDatabaseEntry {
 public:
  using RegistryKeyDatabaseEntry::RegistryKeyDatabaseEntry;
  uint32_t SchemaResult() const override { return schemaResult; }
  std::wstring Serialise() const override;
  EntryKind Kind() const override { return EntryKind::kCatalog; }
  std::vector<std::wstring> catalogValues;
  uint32_t schemaResult = 0;
};

class DeploymentKeyDatabaseEntry : public RegistryKeyDatabaseEntry {
 public:
  using RegistryKeyDatabaseEntry::RegistryKeyDatabaseEntry;
  uint32_t SchemaResult() const override { return schemaResult; }
  std::wstring Serialise() const override;
  EntryKind Kind() const override { return EntryKind::kDeployment; }
  std::wstring appid, thumbprint;
  std::vector<ValueDataPair> values;
  uint32_t schemaResult = 0;
};

class ComponentKeyDatabaseEntry : public RegistryKeyDatabaseEntry {
 public:
  using RegistryKeyDatabaseEntry::RegistryKeyDatabaseEntry;
  uint32_t SchemaResult() const override { return schemaResult; }
  std::wstring Serialise() const override;
  EntryKind Kind() const override { return EntryKind::kComponent; }
  std::wstring identity, s256h, catalog;
  std::vector<FMark> files;
  uint32_t schemaResult = 0;
};

class VersionedIndexKeyDatabaseEntry : public RegistryKeyDatabaseEntry {
 public:
  struct SubKey {
    std::wstring name;
    std::vector<ValueDataPair> values;
  };
  using RegistryKeyDatabaseEntry::RegistryKeyDatabaseEntry;
  uint32_t SchemaResult() const override { return schemaResult; }
  std::wstring Serialise() const override = 0;
  std::wstring unparsedVersions = L"0";
  std::vector<ValueDataPair> values;
  std::vector<SubKey> subkeys;
  uint32_t schemaResult = 0;

 protected:
  std::wstring SerialiseGroups(bool withSubKeys) const;
};

class VersionedIndexKeyDatabaseEntry_WindowsVista : public VersionedIndexKeyDatabaseEntry {
 public:
  using VersionedIndexKeyDatabaseEntry::VersionedIndexKeyDatabaseEntry;
  std::wstring Serialise() const override { return SerialiseGroups(false); }
  EntryKind Kind() const override { return EntryKind::kVersionedIndexVista; }
};

class VersionedIndexKeyDatabaseEntry_Windows7 : public VersionedIndexKeyDatabaseEntry {
 public:
  using VersionedIndexKeyDatabaseEntry::VersionedIndexKeyDatabaseEntry;
  std::wstring Serialise() const override { return SerialiseGroups(true); }
  EntryKind Kind() const override { return EntryKind::kVersionedIndex7; }
};

class VersionedIndexKeyDatabaseEntry_Windows8 : public VersionedIndexKeyDatabaseEntry {
 public:
  using VersionedIndexKeyDatabaseEntry::VersionedIndexKeyDatabaseEntry;
  std::wstring Serialise() const override { return SerialiseGroups(true); }
  EntryKind Kind() const override { return EntryKind::kVersionedIndex8; }
};

// The versioned-index kind for a Windows version text ("6.3" counts as
// "6.2"); false on versions that have none.
bool VersionedIndexKindFor(const std::wstring& windowsVersion, EntryKind& kind);

// One database line as an entry of `kind`, its "*" children included; null
// when a piece has too few fields, a file mark is not four fields, or the
// "*" nesting goes deeper than 8.
std::unique_ptr<RegistryKeyDatabaseEntry> ParseDatabaseLine(EntryKind kind, const std::wstring& line);

// A tree's database: its entries, found by name without regard to case
// whatever order the lines came in (the first of equal names wins).
class RegistryDatabase {
 public:
  // Reads every line of `text`; empty lines are passed over, malformed ones
  // counted.
  void Read(EntryKind kind, const std::wstring& text);
  const RegistryKeyDatabaseEntry* Find(const std::wstring& keyName) const;
  size_t size() const { return entries_.size(); }
  size_t skipped() const { return skipped_; }
  // "" when nothing was skipped, else one sentence naming the file.
  std::wstring SkippedSentence(const std::wstring& fileName) const;

 private:
  std::vector<std::unique_ptr<RegistryKeyDatabaseEntry>> entries_;
  std::vector<std::pair<std::wstring, size_t>> index_;  // upper-case name, entry; sorted
  size_t skipped_ = 0;
};

}  // namespace corvex
