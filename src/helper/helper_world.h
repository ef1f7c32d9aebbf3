// The Windows the helper runs the core against: a fresh fake, whose file
// system shows the real files the helper names (DiskView), with one
// session over it.
#pragma once

#include <filesystem>
#include <string>

#include "core/session.h"
#include "helper/disk_view.h"
#include "platform/fake/fake_windows.h"

namespace corvex::helper {

struct HelperWorld {
  fake::FakeWindows w;
  DiskView view{w.platform().fs};
  platform::Platform os{w.platform().console, w.platform().env,      view,
                        w.platform().processes, w.platform().system, w.platform().hasher,
                        w.platform().security,  w.platform().registry, w.platform().http,
                        w.platform().crash,     w.platform().shadows,  w.platform().compression,
                        w.platform().packages,  w.platform().signatures};
  Session s{os};
};

// Where a user's downloads land in the fake: scripts are mounted there.
extern const wchar_t kDownloads[];

// The file name as a helper typed it, for messages.
std::wstring ShownName(const std::filesystem::path& path);

}  // namespace corvex::helper
