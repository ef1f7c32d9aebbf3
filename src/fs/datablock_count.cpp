#include "fs/datablock_count.h"

#include "core/text.h"
#include "core/working_folders.h"

namespace corvex {

size_t CountStoredDataBlocks(Session& s) {
  size_t count = 0;
  for (auto& line : Split(ReadWorkingFile(s, L"DataBlocks", true), L"\n"))
    if (!Trim(line).empty()) ++count;
  return count;
}

}  // namespace corvex
