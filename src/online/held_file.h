// A program that the elevated process starts is held open from its check
// until it runs: read access shared for reading only, so nobody can write,
// rename or delete it in between, while starting it still works.
#pragma once

#include <memory>
#include <string>

#include "core/session.h"
#include "platform/filesystem.h"

namespace corvex::online {

// The file held as above, or null (traced) when it cannot be.
std::unique_ptr<platform::File> HoldAgainstWrites(Session& s, const std::wstring& path);

// Two open files of one size, equal in all but their last 8 bytes (the
// collection ID). Streamed.
bool SameBodies(platform::File& a, platform::File& b);

// This program's own file, opened for reading, or null (traced).
std::unique_ptr<platform::File> OpenOwnProgram(Session& s);

}  // namespace corvex::online
