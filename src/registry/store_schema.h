// The component store's registry schema: for each of the four trees of the
// COMPONENTS hive, the pattern of its key names, of their subkeys and of
// every value they may hold, and the check of one live key against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/session.h"
#include "platform/registry.h"

namespace corvex {

// The trees, as schema indexes.
constexpr size_t kSchemaCatalogs = 0;
constexpr size_t kSchemaDeployments = 1;
constexpr size_t kSchemaComponents = 2;
constexpr size_t kSchemaVersionedIndex = 3;

// What ValidateKeyAgainstSchema answers.
namespace schema {
constexpr uint32_t kConforms = 0;
constexpr uint32_t kBadKeyName = 1;
constexpr uint32_t kLongValueName = 2;
constexpr uint32_t kBadData = 3;
constexpr uint32_t kUnknownValue = 4;
constexpr uint32_t kSubKeysUnreadable = 5;
constexpr uint32_t kValuesUnreadable = 6;
constexpr uint32_t kUnknownSubKey = 7;
constexpr uint32_t kSubKeyUnopenable = 8;
constexpr uint32_t kLongSubKeyValueName = 9;
constexpr uint32_t kBadSubKeyData = 10;
constexpr uint32_t kUnknownSubKeyValue = 11;
}  // namespace schema

// A wide Perl-syntax pattern matched against whole texts, built once. Its
// character classes answer alike on every build (a fixed table decides
// which characters beyond ASCII are letters). A pattern Boost cannot build,
// or a match it gives up on, is no match, with `failed` set. Not for use by
// two threads at once: the match state is kept between calls.
class SchemaPattern {
 public:
  explicit SchemaPattern(const std::wstring& pattern);
  ~SchemaPattern();
  SchemaPattern(const SchemaPattern&) = delete;
  SchemaPattern& operator=(const SchemaPattern&) = delete;
  bool Matches(const wchar_t* begin, const wchar_t* end, std::wstring* failed = nullptr) const;
  bool Matches(const std::wstring& text, std::wstring* failed = nullptr) const {
    return Matches(text.data(), text.data() + text.size(), failed);
  }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The name pattern of a component's or family's file values, after `prefix`
// ("f!" or "f256!"): one flat run of name pieces with one or two "_"
// between them, so that no name can make the matcher backtrack without end.
std::wstring FileValueNamePattern(const std::wstring& prefix);

// Checks the open key `keyPath` (below HKEY_LOCAL_MACHINE; its last
// component is the key's name) against schema `index`: its name, its values
// and, one level down, its subkeys and their values. The first problem
// found is the answer. A subkey value whose data does not conform (10) is
// first added as a line to %UserProfile%\Desktop\regOutput.txt.
uint32_t ValidateKeyAgainstSchema(Session& s, const platform::RegistryKey& key, const std::wstring& keyPath,
                                  size_t index);

}  // namespace corvex
