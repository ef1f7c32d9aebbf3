// What the Windows Update database and the package sourcing need from the
// online services, which live beside this layer: the program wires them up
// (app/download_services_online.h), tests may too.
#pragma once

#include <cstdint>
#include <string>

namespace corvex {

class DownloadServices {
 public:
  virtual ~DownloadServices() = default;
  // The Windows Update database host's address for `pathAndQuery`.
  virtual std::wstring UpdateDatabaseUrl(const std::wstring& pathAndQuery) = 0;
  // The support server's address for `pathAndQuery`.
  virtual std::wstring SupportServerUrl(const std::wstring& pathAndQuery) = 0;
  // Whether an address a reply named may be fetched as a Microsoft package.
  virtual bool IsMicrosoftDownloadUrl(const std::wstring& url) = 0;
  // The address removed from the URL cache, then fetched into `target`
  // without progress, at most `maxBytes`: 0 or the failure's Win32 code. An
  // error page is a failure.
  virtual uint32_t Download(const std::wstring& url, const std::wstring& target, uint64_t maxBytes) = 0;
  // The same with the progress bar, under `title` or, when it is empty,
  // "Downloading file " and `displayName`.
  virtual bool DownloadWithProgress(const std::wstring& url, const std::wstring& target,
                                    const std::wstring& displayName, const std::wstring& title,
                                    uint64_t maxBytes) = 0;
  // Content-Length of a HEAD request; 0 when it cannot be had.
  virtual uint64_t RemoteSize(const std::wstring& url) = 0;
};

}  // namespace corvex
