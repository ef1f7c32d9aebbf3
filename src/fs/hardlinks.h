// The NTFS hard-link queries: every name of a file, found from one of its
// paths or from its file ID on an open volume.
#pragma once

#include <cstdint>
#include <string>

#include "core/session.h"
#include "platform/security.h"

namespace corvex {

// Number of links, the delete-pending flag and the full path of each link.
using HardLinkRecord = platform::HardLinks;

// "\\.\X:" for the drive of the expanded %SystemRoot%.
platform::Result<platform::Volume> OpenSystemVolume(Session& s);
platform::Result<HardLinkRecord> HardLinksOfPath(Session& s, const std::wstring& path);
platform::Result<HardLinkRecord> HardLinksByFileId(Session& s, const platform::Volume& volume, wchar_t drive,
                                                   uint64_t fileId);
platform::Result<std::wstring> PathByFileId(Session& s, const platform::Volume& volume, wchar_t drive,
                                            uint64_t fileId);

}  // namespace corvex
