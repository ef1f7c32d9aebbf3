// Downloads with the console progress bar, remote sizes and the removal of
// an address from the URL cache before each fetch.
#pragma once

#include <cstdint>
#include <string>

#include "core/session.h"
#include "platform/http.h"
#include "platform/result.h"

namespace corvex::online {

// The bar for done / total: ShowProgress (core/console_output.h).
void DrawProgressBar(Session& s, double total, double done);

// Prints the heading ("\nDownloading file " + display name, or the address
// when there is none, or else the title) and "\n", removes the address from
// the URL cache and downloads it into `target` with the bar. A missing or
// error page is a failure; no partial file is left. A body of more than
// `maxBytes` fails (platform::err::kFileTooLarge).
bool DownloadFileWithProgress(Session& s, const std::wstring& url, const std::wstring& target,
                              const std::wstring& displayName, const std::wstring& title,
                              uint64_t maxBytes = platform::kAnySize);

// The same without heading and bar; the failure's code for the trace.
platform::Status DownloadQuietly(Session& s, const std::wstring& url, const std::wstring& target,
                                 uint64_t maxBytes = platform::kAnySize);

// Content-Length of a HEAD request on the address's own scheme and port; 0
// on any failure.
uint64_t GetRemoteFileSize(Session& s, const std::wstring& url);

}  // namespace corvex::online
