#pragma once
// Which proxy a request goes through, decided from the proxy and bypass lists
// of the user's Internet settings or of a proxy script's answer. Pure rules:
// no Windows headers.
#include <cstdint>
#include <string>

namespace orv {

// What the log says of a connection that uses no proxy.
extern const wchar_t kDirectConnectionName[];

// The proxy ("host:port") for a URL of this scheme, host and port, or empty
// for a direct connection. The list holds plain entries ("p:8080") or entries
// per scheme ("http=p:8080;https=q:8443"); the scheme's own entry wins over
// the first plain one. A host the bypass list names goes direct.
std::wstring ProxyForUrl(const std::wstring& proxyList, const std::wstring& bypassList, const std::wstring& scheme,
                         const std::wstring& host, uint16_t port);

// The bypass list's entries: "<local>" for names without a dot, host
// patterns with "*" wildcards, each optionally with a scheme and a port.
bool BypassesProxy(const std::wstring& bypassList, const std::wstring& host, uint16_t port);

// "Proxy | URL=<url> | Proxy=<proxy or DIRECT>".
std::wstring ProxyLogMessage(const std::wstring& url, const std::wstring& proxy);

} // namespace orv
