#include "online/servers.h"

#include "base/text.h"
#include "core/session_log.h"

namespace corvex::online {

namespace {

constexpr wchar_t kOverrideVariable[] = L"CORVEX_SERVER_URL";

const wchar_t* DefaultRoot(Server server) {
  switch (server) {
    case Server::kUpdate:
      return L"https://updates.tallwen.net";
    case Server::kSupport:
      return L"https://tallwen.net";
    case Server::kUpdateDatabase:
      return L"https://downloads.tallwen.net";
    case Server::kMicrosoftSymbols:
      return L"https://msdl.microsoft.com";
  }
  return L"https://tallwen.net";
}

// The override without a trailing "/", or empty when unset or refused.
std::wstring OverrideRoot(Session& s) {
  const std::wstring reference = std::wstring(L"%") + kOverrideVariable + L"%";
  std::wstring value = s.os.env.Expand(reference);
  if (value == reference || value.empty()) return L"";  // not set
  if (!IsLoopbackServerRoot(value)) {
    TraceError(s, std::wstring(kOverrideVariable) + L" ignored: \"" + value + L"\" is not a loopback address");
    return L"";
  }
  while (!value.empty() && value.back() == L'/') value.pop_back();
  return value;
}

// Hosts that serve Microsoft's update packages and redistributables; a
// name matches itself and its subdomains ("au.download.windowsupdate.com").
const wchar_t* const kMicrosoftDownloadHosts[] = {
    L"download.microsoft.com",
    L"download.windowsupdate.com",
    L"catalog.update.microsoft.com",
    L"delivery.mp.microsoft.com",
};

bool IsMicrosoftDownloadHost(const std::wstring& host) {
  for (const wchar_t* known : kMicrosoftDownloadHosts) {
    const std::wstring k = known;
    if (host == k) return true;
    if (host.size() > k.size() + 1 && EndsWith(host, L"." + k)) return true;
  }
  return false;
}

}  // namespace

UrlParts SplitUrl(const std::wstring& url) {
  UrlParts parts;
  size_t sep = url.find(L"://");
  if (sep == std::wstring::npos) return parts;
  std::wstring scheme = ToLower(url.substr(0, sep));
  if (scheme != L"http" && scheme != L"https") return parts;
  size_t authorityStart = sep + 3;
  size_t pathStart = url.find_first_of(L"/?", authorityStart);
  std::wstring authority = url.substr(authorityStart, pathStart == std::wstring::npos ? std::wstring::npos
                                                                                     : pathStart - authorityStart);
  if (authority.empty() || authority.find(L'@') != std::wstring::npos) return parts;
  std::wstring host;
  std::wstring portText;
  if (authority[0] == L'[') {
    size_t close = authority.find(L']');
    if (close == std::wstring::npos) return parts;
    host = authority.substr(1, close - 1);
    std::wstring rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != L':') return parts;
      portText = rest.substr(1);
    }
  } else {
    size_t colon = authority.find(L':');
    host = authority.substr(0, colon);
    if (colon != std::wstring::npos) portText = authority.substr(colon + 1);
  }
  if (host.empty()) return parts;
  unsigned port = scheme == L"https" ? 443 : 80;
  if (!portText.empty() || authority.back() == L':') {
    if (portText.empty() || portText.size() > 5) return parts;
    unsigned value = 0;
    for (wchar_t c : portText) {
      if (c < L'0' || c > L'9') return parts;
      value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value == 0 || value > 65535) return parts;
    port = value;
  }
  parts.scheme = scheme;
  parts.host = ToLower(host);
  parts.port = port;
  parts.path = pathStart == std::wstring::npos ? L"/" : url.substr(pathStart);
  if (parts.path[0] == L'?') parts.path = L"/" + parts.path;
  return parts;
}

bool IsLoopbackServerRoot(const std::wstring& root) {
  UrlParts parts = SplitUrl(root);
  if (parts.scheme.empty()) return false;
  if (parts.path != L"/") return false;
  // An IPv6 address counts only in brackets; SplitUrl strips them, so a
  // bare "::1" would have failed there already.
  return parts.host == L"127.0.0.1" || parts.host == L"::1" || parts.host == L"localhost";
}

std::wstring ServerRoot(Session& s, Server server) {
  std::wstring root = OverrideRoot(s);
  return root.empty() ? DefaultRoot(server) : root;
}

std::wstring ServerUrl(Session& s, Server server, const std::wstring& path) {
  std::wstring root = ServerRoot(s, server);
  if (path.empty()) return root;
  return path[0] == L'/' ? root + path : root + L"/" + path;
}

std::wstring SymbolServerUrl(Session& s, const std::wstring& path) {
  std::wstring url = ServerUrl(s, Server::kMicrosoftSymbols, L"/download/symbols");
  if (path.empty()) return url;
  return path[0] == L'/' ? url + path : url + L"/" + path;
}

bool IsMicrosoftDownloadUrl(Session& s, const std::wstring& url) {
  for (wchar_t c : url)
    if (c <= 0x20 || c >= 0x7F) return false;
  UrlParts parts = SplitUrl(url);
  if (parts.scheme.empty()) return false;
  const std::wstring loopback = OverrideRoot(s);
  if (!loopback.empty()) {
    UrlParts ours = SplitUrl(loopback);
    if (parts.scheme == ours.scheme && parts.host == ours.host && parts.port == ours.port) return true;
  }
  return parts.scheme == L"https" && parts.port == 443 && IsMicrosoftDownloadHost(parts.host);
}

}  // namespace corvex::online
