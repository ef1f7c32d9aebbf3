#pragma once

#include <cstddef>

#include "core/session.h"

namespace corvex {

// Records in the datablock store: its lines (ended by CR LF, CR or LF) that
// are not blank; 0 when the store does not exist.
size_t CountStoredDataBlocks(Session& s);

}  // namespace corvex
