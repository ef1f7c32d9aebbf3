#pragma once

#include <cstddef>
#include <string>

#include "core/session.h"
#include "platform/result.h"

namespace corvex {

// Records in the datablock store: its lines (ended by CR LF, CR or LF) that
// are not blank; 0 when the store does not exist. A store that is there but
// cannot be read is the code of the failure, never 0.
platform::Result<size_t> CountStoredDataBlocks(Session& s);
// "Currently storing " + count + " datablocks.", or for a store that cannot
// be read the sentence saying so with the error's name (and `readable`, when
// given, false); without line end.
std::wstring StoredDataBlocksSentence(Session& s, bool* readable = nullptr);

}  // namespace corvex
