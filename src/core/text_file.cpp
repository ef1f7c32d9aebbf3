#include "core/text_file.h"

#include "base/text.h"
#include "core/text_reader.h"

namespace corvex {

platform::Status WriteTextFile(Session& s, bool append, bool raw, const std::wstring& path, const std::wstring& text,
                               bool unicode) {
  std::wstring expanded = s.os.env.Expand(path, 512);
  auto& fs = s.os.fs;
  if (unicode) {
    // A new (or empty) file gets the byte-order mark, as the CRT's UTF-16LE
    // mode writes it; appending to text that is there adds code units only.
    bool fresh = true;
    if (append) {
      auto existing = fs.GetAttributes(expanded);
      if (existing.ok()) {
        auto bytes = fs.ReadFile(expanded);
        fresh = !bytes.ok() || bytes->empty();
      }
    }
    std::string bytes = (fresh ? std::string("\xFF\xFE") : std::string()) + ToUtf16Le(text);
    return fs.WriteFile(expanded, bytes, append && !fresh);
  }
  if (raw) return fs.WriteFile(expanded, ToUtf16Le(text), false);
  std::wstring whole = text;
  if (append) whole = ReadTextFile(s, expanded) + text;
  return fs.WriteFile(expanded, ToLatin1(whole), false);
}

}  // namespace corvex
