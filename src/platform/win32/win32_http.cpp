#include "platform/win32/win32_http.h"

namespace corvex::win32 {

using platform::Error;
using platform::Result;
using platform::Status;

// Not yet wired to WinHTTP: every call fails as unsupported.
Status Win32Http::DeleteCacheEntry(const std::wstring&) { return Error{ERROR_CALL_NOT_IMPLEMENTED}; }
Status Win32Http::Download(const std::wstring&, const std::wstring&, platform::TransferProgress*) {
  return Error{ERROR_CALL_NOT_IMPLEMENTED};
}
Result<uint64_t> Win32Http::RemoteSize(const std::wstring&) { return Error{ERROR_CALL_NOT_IMPLEMENTED}; }
Result<std::unique_ptr<platform::HttpUpload>> Win32Http::BeginPost(const std::wstring&, const std::wstring&, uint64_t) {
  return Error{ERROR_CALL_NOT_IMPLEMENTED};
}

}  // namespace corvex::win32
