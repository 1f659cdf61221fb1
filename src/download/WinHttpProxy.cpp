// WinHTTP on its own knows only the machine's WinHTTP setting, which is a
// direct connection on most systems, while the user's browser, WinINet and
// company networks go through the proxy of the user's Internet settings.
// Without this, a user whose direct connections are dropped would wait for
// every connect time limit before WinINet got its turn.
#include "download/WinHttpProxy.h"

#include "download/Downloader.h"
#include "download/Proxy.h"

namespace orv {

namespace {

// WinHTTP hands its texts over in memory of GlobalAlloc's.
std::wstring Take(LPWSTR text)
{
    if (text == nullptr) {
        return std::wstring();
    }
    std::wstring value(text);
    ::GlobalFree(text);
    return value;
}

bool MachineProxy(const ProxyTarget& target, std::wstring& proxy)
{
    WINHTTP_PROXY_INFO info{};
    if (!::WinHttpGetDefaultProxyConfiguration(&info)) {
        return false;
    }
    const std::wstring list = Take(info.lpszProxy);
    const std::wstring bypass = Take(info.lpszProxyBypass);
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || list.empty()) {
        return false;
    }
    proxy = ProxyForUrl(list, bypass, target.scheme, target.host, target.port);
    return true;
}

// The answer of a proxy script, found by automatic detection or at
// scriptUrl; false when there was no script to ask.
bool ScriptProxy(const ProxyTarget& target, const std::wstring& scriptUrl, std::wstring& proxy)
{
    UniqueWinHttpHandle resolver(::WinHttpOpen(kDownloadUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                               WINHTTP_NO_PROXY_BYPASS, 0));
    if (!resolver) {
        return false;
    }
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (scriptUrl.empty()) {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl.c_str();
    }
    // A server of scripts that asks who we are is told the logged-on user.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (!::WinHttpGetProxyForUrl(resolver.Get(), target.url.c_str(), &options, &info)) {
        return false;
    }
    const std::wstring list = Take(info.lpszProxy);
    const std::wstring bypass = Take(info.lpszProxyBypass);
    const bool named = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    proxy = named ? ProxyForUrl(list, bypass, target.scheme, target.host, target.port) : std::wstring();
    return true;
}

// Negotiate before NTLM; Basic and Digest would need a password we do not have.
DWORD LogonScheme(HINTERNET request)
{
    DWORD schemes = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (!::WinHttpQueryAuthSchemes(request, &schemes, &first, &target)) {
        return 0;
    }
    if ((schemes & WINHTTP_AUTH_SCHEME_NEGOTIATE) != 0) {
        return WINHTTP_AUTH_SCHEME_NEGOTIATE;
    }
    return (schemes & WINHTTP_AUTH_SCHEME_NTLM) != 0 ? WINHTTP_AUTH_SCHEME_NTLM : 0;
}

bool AnswerProxyChallenge(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
        status != HTTP_STATUS_PROXY_AUTH_REQ) {
        return false;
    }
    const DWORD scheme = LogonScheme(request);
    if (scheme == 0) {
        return false;
    }
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    ::WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy));
    // No name and no password: the logged-on user's own credentials.
    return ::WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) != FALSE;
}

} // namespace

std::wstring ChooseWinHttpProxy(const ProxyTarget& target, bool& detectionFailed)
{
    std::wstring proxy;
    if (MachineProxy(target, proxy)) {
        return proxy;
    }
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&user)) {
        return std::wstring();
    }
    const std::wstring scriptUrl = Take(user.lpszAutoConfigUrl);
    const std::wstring fixed = Take(user.lpszProxy);
    const std::wstring bypass = Take(user.lpszProxyBypass);
    if (user.fAutoDetect && !detectionFailed) {
        if (ScriptProxy(target, std::wstring(), proxy)) {
            return proxy;
        }
        detectionFailed = true;
    }
    if (!scriptUrl.empty() && ScriptProxy(target, scriptUrl, proxy)) {
        return proxy;
    }
    return ProxyForUrl(fixed, bypass, target.scheme, target.host, target.port);
}

HINTERNET OpenWinHttpSession(const std::wstring& proxy)
{
    if (proxy.empty()) {
        return ::WinHttpOpen(kDownloadUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0);
    }
    // The bypass list has been applied already: this session is for one host.
    return ::WinHttpOpen(kDownloadUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(), WINHTTP_NO_PROXY_BYPASS,
                         0);
}

bool SendRequest(HINTERNET request, const std::wstring& headers)
{
    const wchar_t* extra = headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
    const DWORD length = static_cast<DWORD>(headers.size());
    for (int round = 0;; ++round) {
        if (!::WinHttpSendRequest(request, extra, length, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !::WinHttpReceiveResponse(request, nullptr)) {
            return false;
        }
        // A proxy that still refuses is the caller's "HTTP status 407".
        if (round > 0 || !AnswerProxyChallenge(request)) {
            return true;
        }
    }
}

} // namespace orv
