#include "fs/manifest_security.h"

#include "base/text.h"

namespace corvex {

// The text between `attribute` and the next double quote; empty when the
// line has no such attribute.
static std::wstring AttributeValue(const std::wstring& line, const std::wstring& attribute) {
  size_t at = line.find(attribute);
  if (at == std::wstring::npos) return L"";
  size_t from = at + attribute.size();
  size_t end = line.find(L'"', from);
  return end == std::wstring::npos ? L"" : line.substr(from, end - from);
}

ManifestSecurity FindFileSecurity(const std::wstring& manifestText, const std::wstring& fileName) {
  ManifestSecurity result;
  const std::wstring fileLine = L"<file name=\"" + fileName + L"\"";
  const std::wstring definition = L"<securityDescriptorDefinition name=\"";
  for (auto& line : ManifestElementLines(manifestText)) {
    switch (result.state) {
      case ManifestLookup::kNoFile:
        if (StartsWith(line, fileLine)) {
          result.state = ManifestLookup::kNoDescriptorName;
          // A file element closed on its own line holds no descriptor; the
          // next one in the manifest belongs to another file.
          if (EndsWith(line, L"/>")) return result;
        }
        break;
      case ManifestLookup::kNoDescriptorName:
        if (StartsWith(line, L"</file>") || StartsWith(line, L"<file ")) return result;
        if (line.find(L"<securityDescriptor ") != std::wstring::npos) {
          result.descriptorName = AttributeValue(line, L"name=\"");
          result.state = ManifestLookup::kNoDescriptor;
        }
        break;
      case ManifestLookup::kNoDescriptor:
        if (line.find(definition + result.descriptorName + L"\"") != std::wstring::npos) {
          result.sddl = AttributeValue(line, L"sddl=\"");
          result.state = ManifestLookup::kFound;
          return result;
        }
        break;
      case ManifestLookup::kFound:
        return result;
    }
  }
  return result;
}

}  // namespace corvex
