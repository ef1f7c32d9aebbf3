#include "analysis/sfc_result.h"

#include <cwctype>

#include "base/text.h"

namespace corvex {

namespace {

const std::wstring kMarker = L"Cannot repair member file ";

// The number of characters a "[l:36{18}]" or "[l:12]" prefix announces, or
// npos when the prefix says none.
size_t AnnouncedLength(const std::wstring& prefix) {
  size_t brace = prefix.find(L'{');
  size_t from = brace != std::wstring::npos ? brace + 1 : prefix.find(L"l:");
  if (from == std::wstring::npos) return std::wstring::npos;
  if (brace == std::wstring::npos) from += 2;
  size_t n = 0, digits = 0;
  for (size_t i = from; i < prefix.size() && iswdigit(prefix[i]) && digits < 6; ++i, ++digits)
    n = n * 10 + static_cast<size_t>(prefix[i] - L'0');
  return digits ? n : std::wstring::npos;
}

// A value without its "[l:..]" length prefix and its quotes.
std::wstring PlainValue(std::wstring v) {
  v = Trim(v);
  if (!v.empty() && v[0] == L'[') {
    size_t close = v.find(L']');
    if (close != std::wstring::npos) v.erase(0, close + 1);
  }
  if (v.size() >= 2 && (v[0] == L'"' || v[0] == L'\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
  return Trim(v);
}

// "Version = x" and "version x" both give "x" for the name "version".
bool FieldValue(const std::wstring& field, const std::wstring& name, std::wstring& value) {
  if (!IStartsWith(field, name) || field.size() == name.size()) return false;
  wchar_t next = field[name.size()];
  if (next != L' ' && next != L'=') return false;
  std::wstring rest = Trim(field.substr(name.size()));
  if (!rest.empty() && rest[0] == L'=') rest = Trim(rest.substr(1));
  value = rest;
  return true;
}

}  // namespace

std::wstring StoreArchitecture(const std::wstring& reported) {
  std::wstring a = Trim(reported);
  if (a.find(L"Host=") != std::wstring::npos) return L"wow64";
  // The older form adds the number: "PROCESSOR_ARCHITECTURE_AMD64 (9)".
  size_t paren = a.find(L" (");
  if (paren != std::wstring::npos) a = Trim(a.substr(0, paren));
  static const struct {
    const wchar_t* reported;
    const wchar_t* store;
  } kNames[] = {
      {L"PROCESSOR_ARCHITECTURE_AMD64", L"amd64"}, {L"PROCESSOR_ARCHITECTURE_INTEL", L"x86"},
      {L"PROCESSOR_ARCHITECTURE_IA64", L"ia64"},   {L"PROCESSOR_ARCHITECTURE_ARM", L"ARM"},
      {L"PROCESSOR_ARCHITECTURE_ARM64", L"arm64"}, {L"PROCESSOR_ARCHITECTURE_IA32_ON_WIN64", L"wow64"},
      {L"PROCESSOR_ARCHITECTURE_MSIL", L"msil"},
  };
  for (auto& n : kNames)
    if (IEquals(a, n.reported)) return n.store;
  return a;
}

bool ParseSfcResult(const std::wstring& text, SfcResultFields& f, std::wstring& missing) {
  f = SfcResultFields();
  size_t p = text.find(kMarker);
  if (p == std::wstring::npos) return missing = L"the member file marker", false;
  p += kMarker.size();
  size_t announced = std::wstring::npos;
  if (p < text.size() && text[p] == L'[') {
    size_t close = text.find(L']', p);
    if (close == std::wstring::npos) return missing = L"the end of the file name's length", false;
    announced = AnnouncedLength(text.substr(p, close - p));
    p = close + 1;
  }
  if (p >= text.size() || (text[p] != L'"' && text[p] != L'\'')) return missing = L"the file name's quote", false;
  const wchar_t quote = text[p++];
  size_t endQuote = std::wstring::npos;
  // The announced length keeps a quote inside the name from ending it.
  if (announced != std::wstring::npos && announced <= text.size() - p && p + announced < text.size() &&
      text[p + announced] == quote)
    endQuote = p + announced;
  else
    endQuote = text.find(quote, p);
  if (endQuote == std::wstring::npos) return missing = L"the file name's closing quote", false;
  f.file = text.substr(p, endQuote - p);
  p = endQuote + 1;
  if (text.compare(p, 4, L" of ") != 0) return missing = L"\" of \" after the file name", false;
  p += 4;
  size_t comma = text.find(L',', p);
  if (comma == std::wstring::npos) return missing = L"the component's identity", false;
  f.component = Trim(text.substr(p, comma - p));

  size_t last = text.rfind(L", ");
  if (last == std::wstring::npos || last < comma) return missing = L"the reason", false;
  f.reason = Trim(text.substr(last + 2));
  std::wstring identity = text.substr(comma + 1, last - comma - 1);
  const std::wstring inStore = L" in the store";
  if (EndsWith(identity, inStore)) identity.erase(identity.size() - inStore.size());

  std::wstring value;
  for (const std::wstring& raw : Split(identity, L",")) {
    const std::wstring field = Trim(raw);
    if (FieldValue(field, L"Version", value)) {
      f.version = PlainValue(value);
    } else if (FieldValue(field, L"pA", value) || FieldValue(field, L"arch", value)) {
      f.architecture = StoreArchitecture(value);
    } else if (FieldValue(field, L"Culture", value)) {
      f.culture = PlainValue(value);
    } else if (FieldValue(field, L"PublicKeyToken", value) || FieldValue(field, L"pkt", value)) {
      size_t b = value.find(L"b:");
      size_t close = value.find(L'}', b == std::wstring::npos ? 0 : b);
      if (b != std::wstring::npos && close != std::wstring::npos) f.publicKeyToken = Trim(value.substr(b + 2, close - b - 2));
    }
  }
  if (f.culture.empty()) f.culture = L"neutral";
  if (f.file.empty()) return missing = L"the file name", false;
  if (f.component.empty()) return missing = L"the component name", false;
  if (f.version.empty()) return missing = L"the version", false;
  if (f.architecture.empty()) return missing = L"the architecture", false;
  if (f.publicKeyToken.empty()) return missing = L"the public key token", false;
  if (f.reason.empty()) return missing = L"the reason", false;
  return true;
}

}  // namespace corvex
