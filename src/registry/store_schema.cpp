#include "registry/store_schema.h"

#include <boost/regex.hpp>

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "core/session_log.h"
#include "core/text_file.h"
#include "registry/value_text.h"

namespace corvex {

namespace regtype = platform::regtype;
namespace keyaccess = platform::keyaccess;
using platform::RegistryKey;
using platform::RegistryValue;
using platform::RootKey;

// Named, not anonymous: SchemaPattern::Impl, which has external linkage,
// holds a Regex.
namespace schema_regex {

// Letters beyond ASCII, by block: enough to judge names the same way on
// every build, where the C++ library's wide ctype differs (msvcrt calls
// U+00E9 a letter, glibc's "C" locale does not).
bool IsPinnedLetter(wchar_t c) {
  uint32_t u = static_cast<uint32_t>(c);
  if (u < 0x100) return u == 0xAA || u == 0xB5 || u == 0xBA || (u >= 0xC0 && u != 0xD7 && u != 0xF7);
  if (u < 0x2000) return true;
  if (u < 0x2C00) return false;  // punctuation, symbols, arrows, box drawing
  if (u < 0x2E00) return true;
  if (u < 0x3040) return false;  // supplemental and CJK punctuation
  if (u < 0xD800) return true;
  if (u < 0xF900) return false;  // surrogates, private use
  if (u < 0xFE00) return true;
  if (u >= 0xFE70 && u < 0xFEFF) return true;
  if (u >= 0xFF21 && u < 0xFFF0) return true;
  return false;
}

// cpp_regex_traits with the answer for characters beyond ASCII pinned.
class PinnedTraits : public boost::cpp_regex_traits<wchar_t> {
 public:
  PinnedTraits() {
    static const wchar_t kAlpha[] = L"alpha";
    static const wchar_t kUnicode[] = L"unicode";
    static const wchar_t kVertical[] = L"v";
    alpha_ = lookup_classname(kAlpha, kAlpha + 5);
    unicode_ = lookup_classname(kUnicode, kUnicode + 7);
    vertical_ = lookup_classname(kVertical, kVertical + 1);
  }
  bool isctype(wchar_t c, char_class_type f) const {
    if (static_cast<uint32_t>(c) < 0x80) return boost::cpp_regex_traits<wchar_t>::isctype(c, f);
    if (IsPinnedLetter(c) && (f & alpha_) == alpha_) return true;
    if ((f & unicode_) == unicode_ && static_cast<uint32_t>(c) > 0xFF) return true;
    if ((f & vertical_) == vertical_ && (c == 0x85 || c == 0x2028 || c == 0x2029)) return true;
    return false;
  }

 private:
  char_class_type alpha_ = 0, unicode_ = 0, vertical_ = 0;
};

using Regex = boost::basic_regex<wchar_t, PinnedTraits>;

}  // namespace schema_regex

using schema_regex::Regex;

// ASCII texts, nearly all of them, go through a narrow copy of the pattern:
// Boost tests a narrow character against a set through a 256-entry table,
// a wide one by comparing it with every range of the set.
using NarrowRegex = boost::basic_regex<char, boost::cpp_regex_traits<char>>;

struct SchemaPattern::Impl {
  Regex regex;
  NarrowRegex narrow;
  bool hasNarrow = false;
  std::wstring error;  // why the pattern could not be built
  mutable boost::match_results<const wchar_t*> scratch;
  mutable boost::match_results<const char*> narrowScratch;
  mutable std::string narrowText;
};

SchemaPattern::SchemaPattern(const std::wstring& pattern) : impl_(std::make_unique<Impl>()) {
  const auto flags = boost::regex_constants::perl | boost::regex_constants::nosubs;
  try {
    impl_->regex.assign(pattern, flags);
    if (std::all_of(pattern.begin(), pattern.end(), [](wchar_t c) { return static_cast<uint32_t>(c) < 0x80; })) {
      impl_->narrow.assign(std::string(pattern.begin(), pattern.end()), flags);
      impl_->hasNarrow = true;
    }
  } catch (const boost::regex_error& e) {
    impl_->error = L"pattern cannot be built: " + FromUtf8(e.what());
  }
}

SchemaPattern::~SchemaPattern() = default;

bool SchemaPattern::Matches(const wchar_t* begin, const wchar_t* end, std::wstring* failed) const {
  if (!impl_->error.empty()) {
    if (failed) *failed = impl_->error;
    return false;
  }
  try {
    if (impl_->hasNarrow &&
        std::all_of(begin, end, [](wchar_t c) { return static_cast<uint32_t>(c) < 0x80; })) {
      std::string& text = impl_->narrowText;
      text.assign(begin, end);
      const char* first = text.data();
      return boost::regex_match(first, first + text.size(), impl_->narrowScratch, impl_->narrow);
    }
    return boost::regex_match(begin, end, impl_->scratch, impl_->regex);
  } catch (const boost::regex_error& e) {
    if (failed) *failed = FromUtf8(e.what());
    return false;
  }
}

std::wstring FileValueNamePattern(const std::wstring& prefix) {
  return L"^" + prefix + L"_?[a-z0-9.-]+(?:_{1,2}[a-z0-9.-]+)*(?:_|___[a-f0-9]{16})?$";
}

namespace {

struct ValueSpec {
  bool namePattern;
  std::wstring name;
  uint32_t type;
  bool dataPattern;
  std::wstring data;
  wchar_t first = 0;  // what a value's name must begin with to be tried; 0: anything
  std::unique_ptr<SchemaPattern> nameRegex, dataRegex;
};

struct SubkeySpec {
  std::unique_ptr<SchemaPattern> name;
  std::vector<ValueSpec> values;
};

struct KeySchema {
  std::unique_ptr<SchemaPattern> name;
  std::vector<SubkeySpec> subkeys;
  std::vector<ValueSpec> values;
};

constexpr bool kExact = false, kPattern = true;

ValueSpec Spec(bool namePattern, std::wstring name, uint32_t type, bool dataPattern = kExact, std::wstring data = {}) {
  ValueSpec v{namePattern, std::move(name), type, dataPattern, std::move(data), 0, nullptr, nullptr};
  size_t at = namePattern ? 1 : 0;
  if (v.name.size() >= 2 && v.name[at] != L'[') v.first = v.name[at];
  if (namePattern) v.nameRegex = std::make_unique<SchemaPattern>(v.name);
  if (dataPattern) v.dataRegex = std::make_unique<SchemaPattern>(v.data);
  return v;
}

template <typename... Specs>
std::vector<ValueSpec> List(Specs&&... specs) {
  std::vector<ValueSpec> list;
  (list.push_back(std::move(specs)), ...);
  return list;
}

const wchar_t kCbsName[] =
    LR"(CBS_((package(_[0-9]{1,4})?_for_kb[0-9]{6,7}(_client)?|[a-z0-9-]+)~[a-f0-9]{16}~(amd64|x86|ia64|arm)~([a-z]{2,3}(-[A-Za-z][a-z]{3})?-([a-zA-Z]{2,4}))?~([0-9]+\.){1,4}[0-9]*(\.[a-z0-9]+-(amd64|x86|ia64|arm))?|[a-z0-9_\.~-]{60})(_[a-f0-9]{16})?)";
const wchar_t kD1[] =
    LR"(^.{8}(Package(_[0-9]{1,4})?_for_KB[0-9]{6,7}(_client)?|[a-zA-Z0-9_\.-]+)~[a-f0-9]{16}~(amd64|x86|ia64|arm)~([a-z]{2}(-[A-Z]{4})?-[A-Z]{2})?~([0-9]+\.){3}[0-9]+(_neutral)?(_(GDR|LDR)[0-9]*|\.[\w\. -]+)$)";
const wchar_t kD2[] =
    LR"(^(.{8}((Package(_[0-9]{1,4})?_for_KB[0-9]{6,7}(_client)?|[a-zA-Z0-9_\.-]+)~[a-f0-9]{16}~(amd64|x86|ia64|arm)~([a-z]{2}(-[A-Z]{4})?-[A-Z]{2})?~([0-9]+\.){3}[0-9]+(_neutral)?(_(GDR|LDR)[0-9]*|\.[\w\. -]+)|[C-Z]:\\((W|w)indows|WINDOWS)\\system32\\(msiexec|oobe\\upghost)\.exe|[C-Z]:\\\$WINDOWS\.~BT\\Sources\\mighost\.exe))?$)";

std::vector<KeySchema> BuildSchemas() {
  std::vector<KeySchema> all(4);
  KeySchema& catalogs = all[kSchemaCatalogs];
  catalogs.name = std::make_unique<SchemaPattern>(L"^[a-f0-9]{64}$");
  catalogs.values = List(Spec(
      kPattern,
      LR"(^c!([a-f0-9\._-]{11}..[a-f0-9\._-]{11}|[a-z0-9\._-]{1,24})_[a-f0-9]{16}_([0-9]+\.){3}[0-9]+_[a-f0-9]{16}$)",
      regtype::kBinary));

  KeySchema& deployments = all[kSchemaDeployments];
  deployments.name = std::make_unique<SchemaPattern>(
      LR"(^([a-f0-9\._-]{11}..[a-f0-9\._-]{11}|[a-z0-9\._-]{1,24})_[a-f0-9]{16}_([0-9]+\.){3}[0-9]+_[a-f0-9]{16}$)");
  std::wstring cbs = kCbsName;
  deployments.values = List(
      Spec(kPattern, L"^s!" + cbs + L"$", regtype::kBinary, kPattern, kD1),
      Spec(kPattern, L"^p!" + cbs + L"$", regtype::kBinary, kPattern, kD1),
      Spec(kPattern, L"^i!(" + cbs + L"|SIAW_|CBS_)$", regtype::kBinary, kPattern, kD2),
      Spec(kExact, L"CatalogThumbprint", regtype::kSz, kPattern, L"^[a-f0-9]{64}$"),
      Spec(kExact, L"appid", regtype::kBinary, kPattern,
           LR"(^[\w\. -]+, Culture=(neutral|[a-z]{2}(-[A-Za-z][a-z]{3})?-[A-Z]{2})(, Type=(driverUpdate|win32(-policy)?|dualModeDriver))?, Version=([0-9]+\.){3}[0-9]+, PublicKeyToken=[a-f0-9]{16}, ProcessorArchitecture=(amd64|x86|wow64|msil|arm|ia64)(, versionScope=NonSxS)?$)"));

  KeySchema& components = all[kSchemaComponents];
  components.name = std::make_unique<SchemaPattern>(
      LR"(^(amd64|x86|wow64|msil|arm|ia64)_([a-z0-9\.-]+_(_)?)+[a-f0-9]{16}(_([0-9]+\.){3}[0-9]+)?_(none|[a-z]{2,3}(-\.\.)?-[a-z]{2,4})_[a-f0-9]{16}$)");
  std::wstring f = FileValueNamePattern(L"f!");
  components.values = List(
      Spec(kExact, L"FilesRemovedBySuperScavenging", regtype::kBinary),
      Spec(kPattern, f, regtype::kDword),
      Spec(kPattern, f, regtype::kBinary, kPattern, LR"(^((@)?[\w\.() '\\-]+|)$)"),
      Spec(kExact, L"S256H", regtype::kBinary, kPattern, L"^.{32}$"),
      Spec(kExact, L"identity", regtype::kBinary, kPattern,
           LR"(^[\w\. ()-]+, Culture=(neutral|[a-z]{2,3}(-[A-Za-z][a-z]{3})?-([A-Z]{2,4}|[a-z]{2,4}))(, Type=(driverUpdate|win32(-policy)?|dualModeDriver))?, Version=([0-9]+\.){3}[0-9]+, PublicKeyToken=[a-f0-9]{16}, ProcessorArchitecture=(amd64|x86|wow64|msil|arm|ia64)(, versionScope=NonSxS)?$)"),
      Spec(kExact, L"DV", regtype::kBinary, kPattern, L"^.{8}$"),
      Spec(kExact, L"CTS", regtype::kDword),
      Spec(kPattern, L"^C(losureFlags|F)$", regtype::kDword),
      Spec(kPattern,
           LR"(^c!([a-z0-9\._-]{11}..[a-z0-9\._-]{11}|[a-z0-9\._-]{1,24})_[a-f0-9]{16}_([0-9]+\.){3}[0-9]+_[a-f0-9]{16}$)",
           regtype::kBinary));

  KeySchema& families = all[kSchemaVersionedIndex];
  families.name = std::make_unique<SchemaPattern>(
      LR"(^(amd64|x86|wow64|msil|arm|ia64)_[a-z0-9\.-]+(_(_)?[a-z0-9\.-]+)*_(_)?[a-f0-9]{16}_(none|[a-z]{2,3}(-[A-Za-z][a-z]{3}|-\.\.)?-([A-Z]{2,4}|[a-z]{2,4}))_[a-f0-9]{16}$)");
  families.values =
      List(Spec(kPattern, FileValueNamePattern(L"f256!"), regtype::kBinary, kPattern,
                LR"(^([a-zA-Z0-9+=/]{44}!(([0-9]+\.){3}[0-9]+,)*([0-9]+\.){3}[0-9]+#)+$)"),
           Spec(kExact, L"SomeUnparsedVersionsExist", regtype::kBinary));
  families.subkeys.resize(2);
  families.subkeys[0].name =
      std::make_unique<SchemaPattern>(LR"(^f256!([a-z0-9_\.-]+[a-z0-9\.-])(_loc)?(_[a-f0-9]{16})?$)");
  families.subkeys[0].values =
      List(Spec(kPattern, L"^[a-zA-Z0-9/+=]{44}$", regtype::kBinary, kPattern, LR"(^(([0-9]+\.){3}[0-9]+(,)?)+$)"),
           Spec(kExact, L"", regtype::kBinary, kPattern, LR"(^[a-zA-Z0-9_\. ()\\-]+$)"));
  families.subkeys[1].name = std::make_unique<SchemaPattern>(LR"(^v!([0-9]+\.){3}[0-9]+$)");
  families.subkeys[1].values = List(
      Spec(kExact, L"SF", regtype::kDword), Spec(kExact, L"S1H", regtype::kBinary, kPattern, L"^.{20}$"),
      Spec(kPattern, L"^MCP_([a-f0-9]{8}|[a-f0-9]{16})$", regtype::kBinary, kPattern, L"^(|.{12})$"),
      Spec(kExact, L"InstallMapMissingComponentKey", regtype::kBinary),
      Spec(kExact, L"UnstagedFiles", regtype::kBinary, kPattern,
           LR"(^[\w\.() '\\-][\w\.() '\\,-]+[\w\.() '\\-]$)"),
      Spec(kExact, L"CT", regtype::kBinary, kPattern, L"^[a-f0-9]{64}$"), Spec(kExact, L"", regtype::kDword));
  return all;
}

const std::vector<KeySchema>& Schemas() {
  static const std::vector<KeySchema> schemas = BuildSchemas();
  return schemas;
}

// Codes of one level of the walk: the key's own values, or a subkey's.
struct Codes {
  uint32_t longName, unknown, badData;
};
constexpr Codes kKeyCodes{schema::kLongValueName, schema::kUnknownValue, schema::kBadData};
constexpr Codes kSubKeyCodes{schema::kLongSubKeyValueName, schema::kUnknownSubKeyValue, schema::kBadSubKeyData};

constexpr uint32_t kNameBuffer = 256;  // 255 characters and the NUL
constexpr uint32_t kDataBuffer = 1022;
constexpr size_t kMaxSchemaValueName = 255;

// One walk's buffers, kept so that a value costs no allocation once they
// have grown to the largest seen.
struct Scratch {
  RegistryValue value;
  std::wstring text;
};

// `what` and `subject` name the text in the trace, built only on failure.
bool Matches(Session& s, const SchemaPattern& pattern, const std::wstring& text, const wchar_t* what,
             const std::wstring& subject) {
  std::wstring failed;
  if (pattern.Matches(text, &failed)) return true;
  if (!failed.empty())
    TraceError(s, L"Pattern match of " + std::wstring(what) + subject + L" gave up (" + failed +
                      L"); taken as not conforming");
  return false;
}

const ValueSpec* FittingSpec(Session& s, const std::vector<ValueSpec>& specs, const RegistryValue& v) {
  for (const ValueSpec& spec : specs) {
    if (spec.type != v.type) continue;
    if (spec.first != 0 && !v.name.empty() && v.name[0] != spec.first) continue;
    if (spec.namePattern ? Matches(s, *spec.nameRegex, v.name, L"value name ", v.name) : spec.name == v.name)
      return &spec;
  }
  return nullptr;
}

bool DataConforms(Session& s, const ValueSpec& spec, Scratch& w) {
  if (w.value.type != regtype::kSz && w.value.type != regtype::kBinary) return true;
  ValueDataToText(w.value.name, w.value.data.data(), w.value.data.size(), w.value.type, w.text);
  if (!spec.dataPattern) return w.text == spec.data;
  return Matches(s, *spec.dataRegex, w.text, L"the data of ", w.value.name);
}

// The values of one open key against `specs`; 0 when all conform.
uint32_t CheckValues(Session& s, const RegistryKey& key, const std::vector<ValueSpec>& specs, const Codes& codes,
                     const platform::KeyInfo& info, Scratch& w) {
  auto& reg = s.os.registry;
  uint32_t dataCapacity = std::max(kDataBuffer, info.maxValueData);
  for (uint32_t index = 0;; ++index) {
    platform::Status got = reg.EnumValue(key, index, kNameBuffer, dataCapacity, w.value);
    if (got.code() == platform::err::kMoreData) {
      // The name or the data did not fit: read it again with room for the
      // longest of each the key holds, and let the name's length tell.
      auto now = reg.QueryKeyInfo(key);
      if (!now.ok()) return schema::kValuesUnreadable;
      dataCapacity = std::max(dataCapacity, now->maxValueData);
      got = reg.EnumValue(key, index, std::max(kNameBuffer, now->maxValueName + 1), dataCapacity, w.value);
    }
    if (got.code() == platform::err::kNoMoreItems) return schema::kConforms;
    if (!got.ok()) return schema::kValuesUnreadable;
    if (w.value.name.size() > kMaxSchemaValueName) return codes.longName;
    const ValueSpec* spec = FittingSpec(s, specs, w.value);
    if (!spec) return codes.unknown;
    if (!DataConforms(s, *spec, w)) {
      if (codes.badData == schema::kBadSubKeyData) {
        platform::Status written = WriteTextFile(s, L"%UserProfile%\\Desktop\\regOutput.txt", w.text + L"\r\n",
                                                 TextEncoding::kUtf16, WriteMode::kAppend);
        if (!written.ok()) TraceErrorCode(s, written.code(), L"Failed to write regOutput.txt");
      }
      return codes.badData;
    }
  }
}

std::wstring LastComponent(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

uint32_t ValidateKeyAgainstSchema(Session& s, const RegistryKey& key, const std::wstring& keyPath, size_t index) {
  const KeySchema& schema = Schemas()[std::min<size_t>(index, kSchemaVersionedIndex)];
  std::wstring name = LastComponent(keyPath);
  if (!Matches(s, *schema.name, name, L"key name ", name)) return schema::kBadKeyName;

  auto& reg = s.os.registry;
  static Scratch w;
  auto info = reg.QueryKeyInfo(key);
  if (!info.ok()) return schema::kValuesUnreadable;
  if (uint32_t code = CheckValues(s, key, schema.values, kKeyCodes, *info, w)) return code;
  if (info->subKeys == 0) return schema::kConforms;

  auto subkeys = reg.SubKeyNames(key);
  if (!subkeys.ok()) return schema::kSubKeysUnreadable;
  constexpr uint32_t kAccess = keyaccess::kQueryValue | keyaccess::kEnumerateSubKeys | keyaccess::kWow64_64Key;
  for (const std::wstring& subkey : *subkeys) {
    const SubkeySpec* spec = nullptr;
    for (const SubkeySpec& candidate : schema.subkeys)
      if (Matches(s, *candidate.name, subkey, L"subkey name ", subkey)) {
        spec = &candidate;
        break;
      }
    if (!spec) return schema::kUnknownSubKey;
    auto open = reg.OpenKey(RootKey::kLocalMachine, keyPath + L"\\" + subkey, kAccess);
    if (!open.ok()) return schema::kSubKeyUnopenable;
    auto subInfo = reg.QueryKeyInfo(*open);
    if (!subInfo.ok()) return schema::kValuesUnreadable;
    if (uint32_t code = CheckValues(s, *open, spec->values, kSubKeyCodes, *subInfo, w)) return code;
  }
  return schema::kConforms;
}

}  // namespace corvex
