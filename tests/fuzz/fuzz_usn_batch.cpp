// The file table's enumeration as a damaged or hostile volume could answer
// it: record lengths and name bounds read from the batch itself.
#include "fuzz_support.h"
#include "platform/usn_records.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_usn_batch)(const uint8_t* data, size_t size) {
  // A copy of exactly the input, so that a read past it is caught.
  std::vector<unsigned char> batch(data, data + size);
  platform::usn::Batch out;
  if (!platform::usn::ParseBatch(batch.data(), batch.size(), out)) return 0;
  // Every record takes at least 64 bytes, and its name lies inside it.
  FUZZ_CHECK(out.records.size() * 64 <= size, "more records than the batch can hold");
  size_t nameUnits = 0;
  for (const auto& r : out.records) nameUnits += r.name.size();
  FUZZ_CHECK(nameUnits * 2 <= size, "names longer than the batch");
  return 0;
}
