// The registry flash scan's online services and console screens, as the
// program has them.
#pragma once

#include "core/session.h"
#include "registry/flash_scan.h"

namespace corvex {

class OnlineFlashScanServices : public FlashScanServices {
 public:
  explicit OnlineFlashScanServices(Session& s) : s_(s) {}
  std::wstring DatabaseServerUrl(const std::wstring& pathAndQuery) override;
  bool IsAcceptableDownload(const std::wstring& url) override;
  uint32_t Download(const std::wstring& url, const std::wstring& target) override;
  bool DownloadWithProgress(const std::wstring& url, const std::wstring& target, const std::wstring& title) override;
  std::wstring Extract7z(const std::wstring& archive, const std::wstring& folder) override;
  uint32_t AddToZip(const std::wstring& zip, const std::wstring& file) override;
  bool Submit(const std::wstring& zip, std::wstring& report) override;
  wchar_t AskConsent(const std::wstring& text) override;
  void ClearConsole() override;

 private:
  Session& s_;
};

// The scan with these services: what the entry and the automatic analysis
// start.
bool RunOnlineFlashScan(Session& s);

}  // namespace corvex
