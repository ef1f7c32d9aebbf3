// The downloads of the Windows Update database and the package sourcing,
// as the program has them.
#pragma once

#include "analysis/download_services.h"
#include "core/session.h"

namespace corvex {

class OnlineDownloadServices : public DownloadServices {
 public:
  explicit OnlineDownloadServices(Session& s) : s_(s) {}
  std::wstring UpdateDatabaseUrl(const std::wstring& pathAndQuery) override;
  std::wstring SupportServerUrl(const std::wstring& pathAndQuery) override;
  bool IsMicrosoftDownloadUrl(const std::wstring& url) override;
  uint32_t Download(const std::wstring& url, const std::wstring& target, uint64_t maxBytes) override;
  bool DownloadWithProgress(const std::wstring& url, const std::wstring& target, const std::wstring& displayName,
                            const std::wstring& title, uint64_t maxBytes) override;
  uint64_t RemoteSize(const std::wstring& url) override;

 private:
  Session& s_;
};

}  // namespace corvex
