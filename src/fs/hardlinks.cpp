#include "fs/hardlinks.h"

#include "base/path.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "base/text.h"

namespace corvex {

platform::Result<HardLinkRecord> HardLinksOfPath(Session& s, const std::wstring& path) {
  std::wstring p = StripLongPathPrefix(path);
  auto links = s.os.security.HardLinksOfPath(MapSystem32Path(s, p));
  if (!links.ok()) TraceErrorCode(s, links.code(), L"Failed to list the hard links of " + p + L" with error code ");
  return links;
}

}  // namespace corvex
