#pragma once

#include "platform/win32/windows_api.h"

#include "platform/shadow_copies.h"

namespace corvex::win32 {

class Win32ShadowCopies : public platform::ShadowCopies {
 public:
};

}  // namespace corvex::win32
