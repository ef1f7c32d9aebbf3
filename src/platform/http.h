// HTTP transfers: downloads into files, the size of a remote file, and
// uploads streamed in writes, so no large body is ever held whole.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"

namespace corvex::platform {

namespace err {
// The server answered, but not with 200 (a missing page, a server error).
// ERROR_WINHTTP_INVALID_SERVER_RESPONSE.
constexpr uint32_t kHttpStatus = 12152;
// A body longer than the download allows. ERROR_FILE_TOO_LARGE.
constexpr uint32_t kFileTooLarge = 223;
}  // namespace err

// No limit on a download's size beyond what the disk holds.
inline constexpr uint64_t kAnySize = UINT64_MAX;

struct HttpReply {
  uint32_t status = 0;
  std::string body;
};

// Told the bytes moved so far and the total (0 when the server did not say).
class TransferProgress {
 public:
  virtual ~TransferProgress() = default;
  virtual void OnProgress(uint64_t done, uint64_t total) = 0;
};

// One POST under way: the body goes in writes of any size, adding up to the
// length announced when it began; Finish receives the reply.
class HttpUpload {
 public:
  virtual ~HttpUpload() = default;
  virtual Status Write(const char* data, size_t size) = 0;
  virtual Result<HttpReply> Finish() = 0;
};

class Http {
 public:
  virtual ~Http() = default;
  // Removes the address from the Internet cache (DeleteUrlCacheEntryW), so
  // the next download fetches it afresh. An address not in the cache is no
  // failure.
  virtual Status DeleteCacheEntry(const std::wstring& url) = 0;
  // GET into `target` (overwritten). Any status other than 200 fails with
  // err::kHttpStatus and leaves no file behind. `progress` may be null.
  Status Download(const std::wstring& url, const std::wstring& target, TransferProgress* progress) {
    return DownloadAtMost(url, target, progress, kAnySize);
  }
  // The same, refusing a body of more than `maxBytes`: one announced longer
  // fails before it is read, one without an announced length as soon as it
  // grows past the limit; either fails with err::kFileTooLarge and leaves no
  // file behind.
  virtual Status DownloadAtMost(const std::wstring& url, const std::wstring& target, TransferProgress* progress,
                                uint64_t maxBytes) = 0;
  // The Content-Length of a HEAD request to the address's own scheme, host
  // and port.
  virtual Result<uint64_t> RemoteSize(const std::wstring& url) = 0;
  // Starts a POST of exactly `contentLength` bytes. `headers` are extra
  // request headers, each "Name: value\r\n".
  virtual Result<std::unique_ptr<HttpUpload>> BeginPost(const std::wstring& url, const std::wstring& headers,
                                                        uint64_t contentLength) = 0;
};

}  // namespace corvex::platform
