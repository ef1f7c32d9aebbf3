#include "platform/win32/win32_http.h"

#include <winhttp.h>

#include <vector>

#include "platform/win32/handles.h"

namespace corvex::win32 {

using platform::Error;
using platform::HttpReply;
using platform::Result;
using platform::Status;

namespace {

constexpr wchar_t kUserAgent[] = L"Corvex Agent/2.0";
// Bodies of replies to uploads are short answers; anything longer is cut.
constexpr size_t kMaxReplyBody = 1 << 20;

struct winhttp_traits {
  using type = HINTERNET;
  static type invalid() { return nullptr; }
  static void close(type h) { WinHttpCloseHandle(h); }
};
using HttpHandle = unique_owner<winhttp_traits>;

Error LastHttpError() {
  DWORD code = GetLastError();
  return Error{code ? code : static_cast<DWORD>(ERROR_WINHTTP_INTERNAL_ERROR)};
}

// Session, connection and request of one exchange, closed in reverse order.
struct Exchange {
  HttpHandle session;
  HttpHandle connection;
  HttpHandle request;
};

// Opens a request on the address's own scheme, host and port. Certificate
// checks stay as WinHTTP has them: on.
Status Open(const std::wstring& url, const wchar_t* verb, Exchange& x) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return LastHttpError();
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
    return Error{ERROR_WINHTTP_UNRECOGNIZED_SCHEME};
  std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  x.session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0));
  if (!x.session) return LastHttpError();
  if (!WinHttpSetTimeouts(x.session.get(), 30000, 60000, 30000, 30000)) return LastHttpError();
  x.connection.reset(WinHttpConnect(x.session.get(), host.c_str(), parts.nPort, 0));
  if (!x.connection) return LastHttpError();
  DWORD flags = WINHTTP_FLAG_REFRESH;
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= WINHTTP_FLAG_SECURE;
  x.request.reset(WinHttpOpenRequest(x.connection.get(), verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!x.request) return LastHttpError();
  return Status();
}

Result<DWORD> StatusCode(HINTERNET request) {
  DWORD code = 0;
  DWORD size = sizeof(code);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX))
    return LastHttpError();
  return code;
}

// The Content-Length header; absent or malformed gives an error.
Result<uint64_t> ContentLength(HINTERNET request) {
  wchar_t text[24] = {};
  DWORD size = sizeof(text);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                           WINHTTP_NO_HEADER_INDEX))
    return LastHttpError();
  uint64_t value = 0;
  size_t digits = 0;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p < L'0' || *p > L'9' || ++digits > 19) return Error{ERROR_WINHTTP_INVALID_HEADER};
    value = value * 10 + static_cast<uint64_t>(*p - L'0');
  }
  if (digits == 0) return Error{ERROR_WINHTTP_INVALID_HEADER};
  return value;
}

Status SendAndReceive(HINTERNET request) {
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
    return LastHttpError();
  if (!WinHttpReceiveResponse(request, nullptr)) return LastHttpError();
  return Status();
}

Status WriteAll(HANDLE file, const char* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr)) return LastHttpError();
    if (written == 0) return Error{ERROR_WRITE_FAULT};
    data += written;
    size -= written;
  }
  return Status();
}

// Receives the body into `file`, never past the announced length nor past
// `maxBytes`, and fails when the body ends short of the announced length or
// would go past the limit.
Status ReceiveBody(HINTERNET request, HANDLE file, bool lengthKnown, uint64_t length, uint64_t maxBytes,
                   platform::TransferProgress* progress) {
  if (lengthKnown && length > maxBytes) return Error{platform::err::kFileTooLarge};
  std::vector<char> buffer(64 * 1024);
  uint64_t done = 0;
  if (progress) progress->OnProgress(0, lengthKnown ? length : 0);
  while (!lengthKnown || done < length) {
    DWORD want = static_cast<DWORD>(buffer.size());
    if (lengthKnown && length - done < want) want = static_cast<DWORD>(length - done);
    DWORD got = 0;
    if (!WinHttpReadData(request, buffer.data(), want, &got)) return LastHttpError();
    if (got == 0) break;
    if (got > maxBytes - done) return Error{platform::err::kFileTooLarge};
    if (Status w = WriteAll(file, buffer.data(), got); !w) return w;
    done += got;
    if (progress) progress->OnProgress(done, lengthKnown ? length : 0);
  }
  if (lengthKnown && done != length) return Error{ERROR_WINHTTP_INVALID_SERVER_RESPONSE};
  return Status();
}

class Win32Upload : public platform::HttpUpload {
 public:
  Win32Upload(Exchange x, uint64_t length) : x_(std::move(x)), length_(length) {}

  Status Write(const char* data, size_t size) override {
    if (size > length_ - written_) return Error{ERROR_INVALID_PARAMETER};
    while (size > 0) {
      DWORD chunk = size > 0x100000 ? 0x100000 : static_cast<DWORD>(size);
      DWORD sent = 0;
      if (!WinHttpWriteData(x_.request.get(), data, chunk, &sent)) return LastHttpError();
      if (sent == 0) return Error{ERROR_WRITE_FAULT};
      data += sent;
      size -= sent;
      written_ += sent;
    }
    return Status();
  }

  Result<HttpReply> Finish() override {
    if (written_ != length_) return Error{ERROR_INVALID_PARAMETER};
    if (!WinHttpReceiveResponse(x_.request.get(), nullptr)) return LastHttpError();
    Result<DWORD> code = StatusCode(x_.request.get());
    if (!code) return Error{code.code()};
    HttpReply reply;
    reply.status = *code;
    char buffer[4096];
    for (;;) {
      DWORD got = 0;
      if (!WinHttpReadData(x_.request.get(), buffer, sizeof(buffer), &got)) return LastHttpError();
      if (got == 0) break;
      if (reply.body.size() < kMaxReplyBody) reply.body.append(buffer, got);
    }
    return reply;
  }

 private:
  Exchange x_;
  uint64_t length_;
  uint64_t written_ = 0;
};

}  // namespace

Status Win32Http::DownloadAtMost(const std::wstring& url, const std::wstring& target,
                                 platform::TransferProgress* progress, uint64_t maxBytes) {
  Exchange x;
  if (Status s = Open(url, L"GET", x); !s) return s;
  if (Status s = SendAndReceive(x.request.get()); !s) return s;
  Result<DWORD> code = StatusCode(x.request.get());
  if (!code) return Error{code.code()};
  if (*code != 200) return Error{platform::err::kHttpStatus};
  Result<uint64_t> length = ContentLength(x.request.get());

  // The body goes to a file beside the target that replaces it only when
  // complete, so a failure leaves no partial file and the old one intact.
  std::wstring partial = target + L".download";
  Status result;
  {
    unique_owner<hfile_traits> file(CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LastHttpError();
    result = ReceiveBody(x.request.get(), file.get(), length.ok(), length.ok() ? *length : 0, maxBytes, progress);
    if (result && !FlushFileBuffers(file.get())) result = LastHttpError();
  }
  if (result && !MoveFileExW(partial.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    result = LastHttpError();
  if (!result) {
    DeleteFileW(partial.c_str());
    DeleteFileW(target.c_str());
  }
  return result;
}

Result<uint64_t> Win32Http::RemoteSize(const std::wstring& url) {
  Exchange x;
  if (Status s = Open(url, L"HEAD", x); !s) return Error{s.code()};
  if (Status s = SendAndReceive(x.request.get()); !s) return Error{s.code()};
  Result<DWORD> code = StatusCode(x.request.get());
  if (!code) return Error{code.code()};
  if (*code != 200) return Error{platform::err::kHttpStatus};
  return ContentLength(x.request.get());
}

Result<std::unique_ptr<platform::HttpUpload>> Win32Http::BeginPost(const std::wstring& url,
                                                                    const std::wstring& headers,
                                                                    uint64_t contentLength) {
  if (contentLength > 0xFFFFFFFFull) return Error{ERROR_INVALID_PARAMETER};
  Exchange x;
  if (Status s = Open(url, L"POST", x); !s) return Error{s.code()};
  if (!headers.empty() &&
      !WinHttpAddRequestHeaders(x.request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
    return LastHttpError();
  if (!WinHttpSendRequest(x.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                          static_cast<DWORD>(contentLength), 0))
    return LastHttpError();
  return std::unique_ptr<platform::HttpUpload>(new Win32Upload(std::move(x), contentLength));
}

}  // namespace corvex::win32
