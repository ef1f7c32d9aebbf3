// What the program asks of Windows when it has crashed: the handlers that
// catch the fault and the memory dump they write.
#pragma once

#include "platform/result.h"

namespace corvex::platform {

class CrashHandling {
 public:
  virtual ~CrashHandling() = default;
};

}  // namespace corvex::platform
