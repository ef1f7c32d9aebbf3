#include "app/flash_scan_services.h"

#include "analysis/pager.h"
#include "core/console_output.h"
#include "core/working_folders.h"
#include "online/collect.h"
#include "online/http_transfer.h"
#include "online/servers.h"
#include "online/seven_zip.h"

namespace corvex {

std::wstring OnlineFlashScanServices::DatabaseServerUrl(const std::wstring& pathAndQuery) {
  return online::RegistryDatabaseServerUrl(s_, pathAndQuery);
}

// https anywhere; plain http only to the loopback server that replaces ours
// in tests, never to an address a reply made up.
bool OnlineFlashScanServices::IsAcceptableDownload(const std::wstring& url) {
  online::UrlParts parts = online::SplitUrl(url);
  if (parts.scheme == L"https") return !parts.host.empty();
  if (parts.scheme != L"http") return false;
  online::UrlParts ours = online::SplitUrl(online::ServerRoot(s_, online::Server::kSupport));
  return ours.scheme == L"http" && ours.host == parts.host && ours.port == parts.port;
}

uint32_t OnlineFlashScanServices::Download(const std::wstring& url, const std::wstring& target) {
  return online::DownloadQuietly(s_, url, target).code();
}

bool OnlineFlashScanServices::DownloadWithProgress(const std::wstring& url, const std::wstring& target,
                                                   const std::wstring& title) {
  return online::DownloadFileWithProgress(s_, url, target, L"", title);
}

std::wstring OnlineFlashScanServices::Extract7z(const std::wstring& archive, const std::wstring& folder) {
  return online::ExtractSevenZip(s_.os.fs, archive, folder);
}

uint32_t OnlineFlashScanServices::AddToZip(const std::wstring& zip, const std::wstring& file) {
  return corvex::AddToZip(s_, zip, file);
}

bool OnlineFlashScanServices::Submit(const std::wstring& zip, std::wstring& report) {
  return CollectDirective(s_, {L"RFSS|" + zip}, ArchiveFolder(s_), report);
}

wchar_t OnlineFlashScanServices::AskConsent(const std::wstring& text) {
  corvex::ClearConsole(s_);
  wchar_t key = ShowPaged(s_, 22, true, L"", text, L"");
  // A backspace takes the answer back: the next key counts.
  while (key == L'\b') key = WaitKey(s_);
  corvex::ClearConsole(s_);
  return key;
}

void OnlineFlashScanServices::ClearConsole() { corvex::ClearConsole(s_); }

bool RunOnlineFlashScan(Session& s) {
  OnlineFlashScanServices services(s);
  return RunRegistryFlashScan(s, services);
}

}  // namespace corvex
