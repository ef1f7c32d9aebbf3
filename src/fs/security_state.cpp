#include "fs/security_state.h"

namespace corvex {

void SecurityStateDeleter::operator()(SecurityState* state) const { delete state; }

SecurityState& SecurityStateOf(Session& s) {
  if (!s.security) s.security.reset(new SecurityState);
  return *s.security;
}

}  // namespace corvex
