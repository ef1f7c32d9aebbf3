#include "fs/hardlinks.h"

#include "base/path.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "base/text.h"

namespace corvex {

platform::Result<platform::Volume> OpenSystemVolume(Session& s) {
  std::wstring root = s.os.env.Expand(L"%SystemRoot%", 512);
  std::wstring drive = root.empty() || root[0] == L'%' ? L"C" : ToUpper(root.substr(0, 1));
  auto volume = s.os.security.OpenVolume(L"\\\\.\\" + drive + L":");
  if (!volume.ok()) TraceErrorCode(s, volume.code(), L"Failed to open volume " + drive + L": with error code ");
  return volume;
}

platform::Result<HardLinkRecord> HardLinksOfPath(Session& s, const std::wstring& path) {
  std::wstring p = StripLongPathPrefix(path);
  auto links = s.os.security.HardLinksOfPath(MapSystem32Path(s, p));
  if (!links.ok()) TraceErrorCode(s, links.code(), L"Failed to list the hard links of " + p + L" with error code ");
  return links;
}

platform::Result<HardLinkRecord> HardLinksByFileId(Session& s, const platform::Volume& volume, wchar_t drive,
                                                   uint64_t fileId) {
  auto links = s.os.security.HardLinksByFileId(volume, drive, fileId);
  if (!links.ok())
    TraceErrorCode(s, links.code(), L"Failed to list the hard links of file ID " + Decimal(fileId) + L" with error code ");
  return links;
}

platform::Result<std::wstring> PathByFileId(Session& s, const platform::Volume& volume, wchar_t drive,
                                            uint64_t fileId) {
  auto path = s.os.security.PathByFileId(volume, drive, fileId);
  if (!path.ok())
    TraceErrorCode(s, path.code(), L"Failed to find the path of file ID " + Decimal(fileId) + L" with error code ");
  return path;
}

}  // namespace corvex
