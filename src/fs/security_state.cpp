#include "core/session.h"

namespace corvex {

// Filled in by the security primitives; empty until then.
struct SecurityState {};

void SecurityStateDeleter::operator()(SecurityState* state) const { delete state; }

}  // namespace corvex
