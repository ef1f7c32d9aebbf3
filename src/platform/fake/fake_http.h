// The fake Windows' HTTP: pages served from memory or by a handler, every
// request recorded (uploads with their bodies, byte for byte), cache
// removals listed, and faults on any address (Op::kHttpDownload,
// kHttpHead, kHttpPost, kHttpWrite, kHttpCache; the path part matches the
// address).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/fake/fake_windows.h"
#include "platform/http.h"

namespace corvex::fake {

struct FakeHttpRequest {
  std::wstring method;  // "GET", "HEAD" or "POST"
  std::wstring url;
  std::wstring headers;  // POST only
  std::string body;      // POST only: what was written
};

class FakeHttp : public platform::Http {
 public:
  explicit FakeHttp(FakeWindows& w) : w_(w) {}

  // A page: GET gives the body with the status, HEAD its length. Addresses
  // are compared as given.
  void Serve(const std::wstring& url, const std::string& body, uint32_t status = 200) {
    pages_[url] = platform::HttpReply{status, body};
  }
  void Remove(const std::wstring& url) { pages_.erase(url); }
  // Answers every request the pages do not; without it an unknown address
  // is 404.
  std::function<platform::HttpReply(const FakeHttpRequest&)> handler;

  std::vector<FakeHttpRequest> requests;
  std::vector<std::wstring> cacheRemovals;
  // The Content-Length HEAD reports for a page, when it should differ from
  // the body's length.
  std::map<std::wstring, uint64_t> announcedSizes;

  platform::Status DeleteCacheEntry(const std::wstring& url) override;
  platform::Status DownloadAtMost(const std::wstring& url, const std::wstring& target,
                                  platform::TransferProgress* progress, uint64_t maxBytes) override;
  platform::Result<uint64_t> RemoteSize(const std::wstring& url) override;
  platform::Result<std::unique_ptr<platform::HttpUpload>> BeginPost(const std::wstring& url,
                                                                     const std::wstring& headers,
                                                                     uint64_t contentLength) override;

 private:
  friend class FakeUpload;
  platform::HttpReply Answer(const FakeHttpRequest& request);

  FakeWindows& w_;
  std::map<std::wstring, platform::HttpReply> pages_;
};

}  // namespace corvex::fake
