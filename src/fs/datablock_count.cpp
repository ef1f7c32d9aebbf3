#include "fs/datablock_count.h"

#include "base/text.h"
#include "core/datablock_store.h"

namespace corvex {

platform::Result<size_t> CountStoredDataBlocks(Session& s) {
  // The lines as every datablock operation sees them, whatever line ends the
  // file has.
  DataBlockStore store;
  if (!store.Load(s)) return platform::Error{store.error()};
  return store.records().size();
}

std::wstring StoredDataBlocksSentence(Session& s, bool* readable) {
  auto count = CountStoredDataBlocks(s);
  if (readable) *readable = count.ok();
  if (!count.ok()) return UnreadableStoreSentence(count.code());
  return L"Currently storing " + Decimal(*count) + L" datablocks.";
}

}  // namespace corvex
