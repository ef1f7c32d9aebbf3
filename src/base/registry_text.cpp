#include "base/registry_text.h"

namespace corvex {

bool RegistryStringOpenAfter(const std::wstring& line, bool openAtStart) {
  bool open = openAtStart;
  for (size_t i = 0; i < line.size(); ++i) {
    if (open && line[i] == L'\\') {
      ++i;
    } else if (line[i] == L'"') {
      open = !open;
    }
  }
  return open;
}

}  // namespace corvex
