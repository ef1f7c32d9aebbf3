#pragma once

#include "platform/win32/windows_api.h"

#include "platform/crash.h"

namespace corvex::win32 {

class Win32CrashHandling : public platform::CrashHandling {
 public:
};

}  // namespace corvex::win32
