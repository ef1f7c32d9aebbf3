// Everything the program asks of Windows, reached through one aggregate so a
// test can hand the whole program a fake Windows.
#pragma once

#include "platform/console.h"
#include "platform/environment.h"
#include "platform/filesystem.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/system_info.h"

namespace corvex::platform {

struct Platform {
  Console& console;
  Environment& env;
  FileSystem& fs;
  Processes& processes;
  SystemInfo& system;
  Hasher& hasher;
  Security& security;
  Registry& registry;
};

}  // namespace corvex::platform
