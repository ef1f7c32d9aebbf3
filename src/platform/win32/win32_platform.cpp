#include "platform/win32/win32_platform.h"

#include "platform/win32/win32_backend.h"
#include "platform/win32/win32_compression.h"
#include "platform/win32/win32_crash.h"
#include "platform/win32/win32_http.h"
#include "platform/win32/win32_packages.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_shadow_copies.h"

namespace corvex::win32 {

Win32Platform::Win32Platform()
    : console_(std::make_unique<Win32Console>()),
      env_(std::make_unique<Win32Environment>()),
      fs_(std::make_unique<Win32FileSystem>()),
      processes_(std::make_unique<Win32Processes>()),
      system_(std::make_unique<Win32SystemInfo>()),
      hasher_(std::make_unique<Win32Hasher>()),
      security_(std::make_unique<Win32Security>()),
      registry_(std::make_unique<Win32Registry>()),
      http_(std::make_unique<Win32Http>()),
      crash_(std::make_unique<Win32CrashHandling>()),
      shadows_(std::make_unique<Win32ShadowCopies>()),
      compression_(std::make_unique<Win32Compression>()),
      packages_(std::make_unique<Win32Packages>()),
      signatures_(std::make_unique<Win32Signatures>()),
      platform_(new platform::Platform{*console_, *env_, *fs_, *processes_, *system_, *hasher_, *security_,
                                       *registry_, *http_, *crash_, *shadows_, *compression_, *packages_,
                                       *signatures_}) {}

Win32Platform::~Win32Platform() = default;

}  // namespace corvex::win32
