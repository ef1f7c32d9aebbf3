#include "base/command_line.h"

namespace corvex {

std::vector<std::wstring> SplitCommandLine(const std::wstring& line) {
  std::vector<std::wstring> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
    if (i >= line.size()) break;
    std::wstring word;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != L' ' && line[i] != L'\t'))) {
      if (line[i] == L'\\') {
        size_t n = 0;
        while (i < line.size() && line[i] == L'\\') ++n, ++i;
        if (i < line.size() && line[i] == L'"') {
          word.append(n / 2, L'\\');
          if (n % 2) {
            word.push_back(L'"');
            ++i;
          }
        } else {
          word.append(n, L'\\');
        }
        continue;
      }
      if (line[i] == L'"') {
        quoted = !quoted;
        ++i;
        continue;
      }
      word.push_back(line[i++]);
    }
    words.push_back(word);
  }
  return words;
}

}  // namespace corvex
