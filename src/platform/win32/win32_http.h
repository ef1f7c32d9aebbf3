// HTTP through WinHTTP (downloads, sizes and uploads) and WinINet (the URL
// cache). Downloads go through WinHTTP rather than URLDownloadToFileW: the
// latter reports success for a 404 under Wine and gives no say over the
// announced size, so a missing page could pass as a file.
#pragma once

#include "platform/win32/windows_api.h"

#include "platform/http.h"

namespace corvex::win32 {

class Win32Http : public platform::Http {
 public:
  platform::Status DeleteCacheEntry(const std::wstring& url) override;
  platform::Status DownloadAtMost(const std::wstring& url, const std::wstring& target,
                                  platform::TransferProgress* progress, uint64_t maxBytes) override;
  platform::Result<uint64_t> RemoteSize(const std::wstring& url) override;
  platform::Result<std::unique_ptr<platform::HttpUpload>> BeginPost(const std::wstring& url,
                                                                     const std::wstring& headers,
                                                                     uint64_t contentLength) override;
};

}  // namespace corvex::win32
