// The NTFS hard-link query: every name of a file, found from one of its
// paths.
#pragma once

#include <string>

#include "core/session.h"
#include "platform/security.h"

namespace corvex {

// Number of links, the delete-pending flag and the full path of each link.
using HardLinkRecord = platform::HardLinks;

platform::Result<HardLinkRecord> HardLinksOfPath(Session& s, const std::wstring& path);

}  // namespace corvex
