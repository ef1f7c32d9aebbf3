// Extraction of 7z archives (the registry database comes as one), decoded
// in-process: no decoder program is written out and started, so nothing
// runs from a folder the user can write.
#pragma once

#include <string>

#include "core/session.h"
#include "platform/filesystem.h"

namespace corvex::online {

// Extracts every entry of the 7z archive at `archivePath` below the
// existing folder `destFolder`, with the archive's folder structure. Every
// name is judged before anything is written: one that is empty, absolute,
// climbs out with "..", names a drive, a stream or a device, or ends in a
// dot or space refuses the whole archive. Each file's CRC-32 is checked as
// it is written; on any failure the files and folders this call made are
// removed again. Returns the reason of a failure, empty on success.
std::wstring ExtractSevenZip(platform::FileSystem& fs, const std::wstring& archivePath,
                             const std::wstring& destFolder);

// The archive into `destination`: empty means the archive's own folder; a
// trailing backslash is dropped; another folder is created with its parents.
// A failure is traced with the archive and the reason.
bool Extract7zArchive(Session& s, const std::wstring& archive, const std::wstring& destination);

}  // namespace corvex::online
