#include "app/download_services_online.h"

#include "online/http_transfer.h"
#include "online/servers.h"

namespace corvex {

std::wstring OnlineDownloadServices::UpdateDatabaseUrl(const std::wstring& pathAndQuery) {
  return online::UpdateDatabaseUrl(s_, pathAndQuery);
}

std::wstring OnlineDownloadServices::SupportServerUrl(const std::wstring& pathAndQuery) {
  return online::ServerUrl(s_, online::Server::kSupport, pathAndQuery);
}

bool OnlineDownloadServices::IsMicrosoftDownloadUrl(const std::wstring& url) {
  return online::IsMicrosoftDownloadUrl(s_, url);
}

uint32_t OnlineDownloadServices::Download(const std::wstring& url, const std::wstring& target, uint64_t maxBytes) {
  return online::DownloadQuietly(s_, url, target, maxBytes).code();
}

bool OnlineDownloadServices::DownloadWithProgress(const std::wstring& url, const std::wstring& target,
                                                  const std::wstring& displayName, const std::wstring& title,
                                                  uint64_t maxBytes) {
  return online::DownloadFileWithProgress(s_, url, target, displayName, title, maxBytes);
}

uint64_t OnlineDownloadServices::RemoteSize(const std::wstring& url) { return online::GetRemoteFileSize(s_, url); }

}  // namespace corvex
