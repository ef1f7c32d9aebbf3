// Volume shadow copies: made for one copy of a file another process holds
// open, and deleted again.
#pragma once

#include "platform/result.h"

namespace corvex::platform {

class ShadowCopies {
 public:
  virtual ~ShadowCopies() = default;
};

}  // namespace corvex::platform
