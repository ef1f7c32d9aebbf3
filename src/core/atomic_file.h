// Replacing a file's whole content so that a failure at any step leaves the
// old content in place: the bytes go to a temporary file beside the target,
// reach the disk, and only then is the temporary file moved over the target.
#pragma once

#include <string>

#include "platform/filesystem.h"

namespace corvex {

// The temporary file is `path` + ".new", in the same folder so that the move
// is a rename on one volume. It is gone afterwards, whether the replacement
// worked or not. Fails with the code of the step that failed; a missing
// target is created.
platform::Status ReplaceFileContents(platform::FileSystem& fs, const std::wstring& path, const std::string& bytes);

}  // namespace corvex
