// Everything the program asks of Windows, reached through one aggregate so a
// test can hand the whole program a fake Windows.
#pragma once

#include "platform/compression.h"
#include "platform/console.h"
#include "platform/crash.h"
#include "platform/environment.h"
#include "platform/filesystem.h"
#include "platform/http.h"
#include "platform/packages.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/shadow_copies.h"
#include "platform/signatures.h"
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
  Http& http;
  CrashHandling& crash;
  ShadowCopies& shadows;
  Compression& compression;
  Packages& packages;
  Signatures& signatures;
};

}  // namespace corvex::platform
