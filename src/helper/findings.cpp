#include "helper/findings.h"

#include <cstdio>

#include "base/text.h"

namespace corvex::helper {

std::wstring FindingLine(const Finding& f) {
  return f.file + L":" + Decimal(f.line) + L":" + Decimal(f.column) + (f.error ? L": error: " : L": note: ") +
         f.message;
}

bool AnyError(const std::vector<Finding>& findings) {
  for (const auto& f : findings)
    if (f.error) return true;
  return false;
}

std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (unsigned char c : ToUtf8(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char code[8];
          std::snprintf(code, sizeof code, "\\u%04x", c);
          out += code;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

std::string JsonFindings(const std::vector<Finding>& findings) {
  std::string out = "[";
  for (size_t i = 0; i < findings.size(); ++i) {
    const Finding& f = findings[i];
    out += (i ? "," : "") + std::string("{\"file\":") + JsonString(f.file) + ",\"line\":" + std::to_string(f.line) +
           ",\"column\":" + std::to_string(f.column) + ",\"severity\":" + (f.error ? "\"error\"" : "\"note\"") +
           ",\"message\":" + JsonString(f.message) + "}";
  }
  return out + "]";
}

}  // namespace corvex::helper
