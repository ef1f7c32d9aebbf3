// The one place that names the servers the program talks to. Every address
// is built here from a server's root and a path.
//
// CORVEX_SERVER_URL ("http://127.0.0.1:8080", "http://[::1]:80",
// "https://localhost") replaces scheme, host and port of every server, for
// tests and for people who host their own. It is honoured only when it names
// the loopback address: anything else is ignored (and traced), so a changed
// environment cannot send an elevated program's downloads elsewhere.
#pragma once

#include <string>

#include "core/session.h"

namespace corvex::online {

enum class Server {
  kUpdate,            // latest version, its hash and the program itself
  kSupport,           // the support web site (collection, registry database)
  kUpdateDatabase,    // the Windows Update database download host
  kMicrosoftSymbols,  // Microsoft's public symbol server
};

// "https://host[:port]" of the server, or the loopback override.
std::wstring ServerRoot(Session& s, Server server);

// Root + path; a path without its leading "/" gets one.
std::wstring ServerUrl(Session& s, Server server, const std::wstring& path);

inline std::wstring UpdateServerUrl(Session& s, const std::wstring& path) {
  return ServerUrl(s, Server::kUpdate, path);
}
inline std::wstring CollectionServerUrl(Session& s, const std::wstring& path) {
  return ServerUrl(s, Server::kSupport, path);
}
inline std::wstring RegistryDatabaseServerUrl(Session& s, const std::wstring& path) {
  return ServerUrl(s, Server::kSupport, path);
}
inline std::wstring UpdateDatabaseUrl(Session& s, const std::wstring& path) {
  return ServerUrl(s, Server::kUpdateDatabase, path);
}
// The symbol server's address with its "/download/symbols" path, for a
// symbol search path ("SRV*cache*" + this).
std::wstring SymbolServerUrl(Session& s, const std::wstring& path = L"");

// The parts of an http(s) address. Empty scheme when the text is not one.
struct UrlParts {
  std::wstring scheme;  // "http" or "https", lower case
  std::wstring host;    // without brackets for IPv6
  unsigned port = 0;    // the explicit port, else 80 or 443
  std::wstring path;    // from the first "/" on (query included), "/" at least
};
UrlParts SplitUrl(const std::wstring& url);

// True when a download address may be fetched as a Microsoft package: one
// line of printable ASCII, https on port 443 to a Microsoft download host
// (the list in servers.cpp), or the loopback server CORVEX_SERVER_URL names,
// on its own scheme and port. Addresses come from a server's reply, so
// nothing else is fetched by an elevated program.
bool IsMicrosoftDownloadUrl(Session& s, const std::wstring& url);

// True when the text is a loopback override: http or https, host 127.0.0.1,
// [::1] or localhost, an optional port, nothing after but an optional "/".
bool IsLoopbackServerRoot(const std::wstring& root);

}  // namespace corvex::online
