#pragma once
// The proxy of a WinHTTP request, and the one answer to a proxy that asks
// who we are.
#include "download/WinHttpHandle.h"

#include <string>

namespace orv {

// What a URL is, for choosing its proxy.
struct ProxyTarget {
    std::wstring url;
    std::wstring scheme;
    std::wstring host;
    INTERNET_PORT port = 0;
};

// The proxy ("host:port") a request for target goes through, or empty for a
// direct connection. WinHTTP's own default wins when it names a proxy;
// otherwise the current user's settings decide: automatic detection or a
// proxy script, then a fixed proxy with its bypass list, then direct.
// detectionFailed is set once automatic detection found nothing, so that
// later requests of the run do not wait for it again.
std::wstring ChooseWinHttpProxy(const ProxyTarget& target, bool& detectionFailed);

// A session whose requests go through proxy, or WinHTTP's default way when
// proxy is empty.
HINTERNET OpenWinHttpSession(const std::wstring& proxy);

// Sends request with the extra headers and waits for its answer. A proxy
// that answers 407 is answered once with the logged-on user's own
// credentials, which NTLM and Negotiate can carry without asking anyone.
bool SendRequest(HINTERNET request, const std::wstring& headers);

} // namespace orv
