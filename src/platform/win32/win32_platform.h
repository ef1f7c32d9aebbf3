// The whole real Windows as one platform::Platform for the program's main.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace corvex::win32 {

class Win32Console;
class Win32Environment;
class Win32FileSystem;
class Win32Processes;
class Win32SystemInfo;
class Win32Hasher;
class Win32Security;
class Win32Registry;
class Win32Http;
class Win32CrashHandling;
class Win32ShadowCopies;
class Win32Compression;
class Win32Packages;
class Win32Signatures;

class Win32Platform {
 public:
  Win32Platform();
  ~Win32Platform();
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  platform::Platform& platform() { return *platform_; }

 private:
  std::unique_ptr<Win32Console> console_;
  std::unique_ptr<Win32Environment> env_;
  std::unique_ptr<Win32FileSystem> fs_;
  std::unique_ptr<Win32Processes> processes_;
  std::unique_ptr<Win32SystemInfo> system_;
  std::unique_ptr<Win32Hasher> hasher_;
  std::unique_ptr<Win32Security> security_;
  std::unique_ptr<Win32Registry> registry_;
  std::unique_ptr<Win32Http> http_;
  std::unique_ptr<Win32CrashHandling> crash_;
  std::unique_ptr<Win32ShadowCopies> shadows_;
  std::unique_ptr<Win32Compression> compression_;
  std::unique_ptr<Win32Packages> packages_;
  std::unique_ptr<Win32Signatures> signatures_;
  std::unique_ptr<platform::Platform> platform_;
};

}  // namespace corvex::win32
