#include "online/http_transfer.h"

#include "core/console_output.h"
#include "core/session_log.h"

namespace corvex::online {

namespace {

class BarProgress : public platform::TransferProgress {
 public:
  explicit BarProgress(Session& s) : s_(s) {}
  void OnProgress(uint64_t done, uint64_t total) override {
    DrawProgressBar(s_, static_cast<double>(total), static_cast<double>(done));
  }

 private:
  Session& s_;
};

platform::Status Fetch(Session& s, const std::wstring& url, const std::wstring& target,
                       platform::TransferProgress* progress, uint64_t maxBytes) {
  // A stale cached copy must never stand in for the server's answer.
  if (platform::Status cleared = s.os.http.DeleteCacheEntry(url); !cleared)
    TraceErrorCode(s, cleared.code(), L"Failed to remove " + url + L" from the URL cache with error code ");
  platform::Status got = s.os.http.DownloadAtMost(url, target, progress, maxBytes);
  if (!got) TraceErrorCode(s, got.code(), L"Failed to download " + url + L" with error code ");
  return got;
}

}  // namespace

void DrawProgressBar(Session& s, double total, double done) { ShowProgress(s, done, total); }

bool DownloadFileWithProgress(Session& s, const std::wstring& url, const std::wstring& target,
                              const std::wstring& displayName, const std::wstring& title, uint64_t maxBytes) {
  std::wstring heading = title;
  if (heading.empty()) heading = L"\nDownloading file " + (displayName.empty() ? url : displayName);
  Print(s, heading + L"\n");
  BarProgress bar(s);
  return Fetch(s, url, target, &bar, maxBytes).ok();
}

platform::Status DownloadQuietly(Session& s, const std::wstring& url, const std::wstring& target,
                                 uint64_t maxBytes) {
  return Fetch(s, url, target, nullptr, maxBytes);
}

uint64_t GetRemoteFileSize(Session& s, const std::wstring& url) {
  platform::Result<uint64_t> size = s.os.http.RemoteSize(url);
  if (!size) {
    TraceErrorCode(s, size.code(), L"Failed to get the size of " + url + L" with error code ");
    return 0;
  }
  return *size;
}

}  // namespace corvex::online
