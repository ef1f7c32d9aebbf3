#include "fs/datablock_count.h"

#include "core/working_folders.h"
#include "fs/datablock_store.h"

namespace corvex {

size_t CountStoredDataBlocks(Session& s) {
  // The lines as every datablock operation sees them, whatever line ends the
  // file has.
  return SplitRecords(ReadWorkingFile(s, kDataBlockStoreName).value_or(L"")).size();
}

}  // namespace corvex
