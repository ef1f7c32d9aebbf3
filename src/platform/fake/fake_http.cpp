#include "platform/fake/fake_http.h"

namespace corvex::fake {

using platform::Error;
using platform::HttpReply;
using platform::Result;
using platform::Status;
namespace err = platform::err;

namespace {

// Where the body lands: the target's folder must exist, as for
// URLDownloadToFileW.
std::wstring TargetFolder(const std::wstring& path) {
  size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

class FakeUpload : public platform::HttpUpload {
 public:
  FakeUpload(FakeHttp& http, FakeHttpRequest request, uint64_t length)
      : http_(http), request_(std::move(request)), length_(length) {}

  Status Write(const char* data, size_t size) override {
    if (finished_) return Error{err::kInvalidHandle};
    if (uint32_t f = http_.w_.TakeFault(Op::kHttpWrite, request_.url)) return Error{f};
    if (request_.body.size() + size > length_) return Error{err::kInvalidParameter};
    request_.body.append(data, size);
    return Status::Ok();
  }

  Result<HttpReply> Finish() override {
    if (finished_) return Error{err::kInvalidHandle};
    finished_ = true;
    // WinHTTP will not receive a reply to a body shorter than announced.
    if (request_.body.size() != length_) return Error{err::kInvalidParameter};
    http_.requests.push_back(request_);
    return http_.Answer(request_);
  }

 private:
  FakeHttp& http_;
  FakeHttpRequest request_;
  uint64_t length_;
  bool finished_ = false;
};

HttpReply FakeHttp::Answer(const FakeHttpRequest& request) {
  auto page = pages_.find(request.url);
  if (page != pages_.end() && request.method != L"POST") return page->second;
  if (handler) return handler(request);
  if (page != pages_.end()) return page->second;
  return HttpReply{404, "Not Found"};
}

Status FakeHttp::DeleteCacheEntry(const std::wstring& url) {
  if (uint32_t f = w_.TakeFault(Op::kHttpCache, url)) return Error{f};
  cacheRemovals.push_back(url);
  return Status::Ok();
}

Status FakeHttp::DownloadAtMost(const std::wstring& url, const std::wstring& target,
                                platform::TransferProgress* progress, uint64_t maxBytes) {
  if (uint32_t f = w_.TakeFault(Op::kHttpDownload, url)) return Error{f};
  FakeHttpRequest request{L"GET", url, L"", ""};
  requests.push_back(request);
  HttpReply reply = Answer(request);
  if (reply.status != 200) return Error{err::kHttpStatus};
  if (reply.body.size() > maxBytes) return Error{err::kFileTooLarge};
  const std::wstring parent = TargetFolder(target);
  if (!parent.empty() && !w_.IsFolder(parent)) return Error{err::kPathNotFound};
  if (w_.IsFolder(target)) return Error{err::kAccessDenied};
  if (uint32_t f = w_.TakeFault(Op::kWriteFile, target)) return Error{f};
  if (progress) progress->OnProgress(0, reply.body.size());
  w_.AddFile(target, reply.body);
  if (progress) progress->OnProgress(reply.body.size(), reply.body.size());
  return Status::Ok();
}

Result<uint64_t> FakeHttp::RemoteSize(const std::wstring& url) {
  if (uint32_t f = w_.TakeFault(Op::kHttpHead, url)) return Error{f};
  FakeHttpRequest request{L"HEAD", url, L"", ""};
  requests.push_back(request);
  HttpReply reply = Answer(request);
  if (reply.status != 200) return Error{err::kHttpStatus};
  auto announced = announcedSizes.find(url);
  return announced != announcedSizes.end() ? announced->second : static_cast<uint64_t>(reply.body.size());
}

Result<std::unique_ptr<platform::HttpUpload>> FakeHttp::BeginPost(const std::wstring& url, const std::wstring& headers,
                                                                  uint64_t contentLength) {
  if (uint32_t f = w_.TakeFault(Op::kHttpPost, url)) return Error{f};
  std::unique_ptr<platform::HttpUpload> upload =
      std::make_unique<FakeUpload>(*this, FakeHttpRequest{L"POST", url, headers, ""}, contentLength);
  return upload;
}

}  // namespace corvex::fake
