// The first network backend: synchronous WinHTTP GETs streamed to disk, the
// first one for the whole body, any later one for the rest of a body whose
// connection broke off.
#include "download/Downloader.h"
#include "download/HttpTransfer.h"
#include "download/Proxy.h"
#include "download/WinHttpHandle.h"
#include "download/WinHttpProxy.h"
#include "platform/FileSystem.h"

namespace orv {

namespace {

// WinHTTP's four time limits, in milliseconds.
struct TimeLimits {
    int resolve, connect, send, receive;
};
constexpr TimeLimits kTimeLimitsMs{10000, 10000, 15000, 60000};

// Asks for gzip and deflate bodies where WinHTTP can unpack them itself.
constexpr DWORD kDecompressionOption = 118;
constexpr DWORD kDecompressGzipAndDeflate = 3;


void CloseWinHttpHandle(void* handle)
{
    ::WinHttpCloseHandle(static_cast<HINTERNET>(handle));
}

std::wstring Component(const wchar_t* text, DWORD length)
{
    return text != nullptr ? std::wstring(text, length) : std::wstring();
}

struct Target {
    ProxyTarget proxy;
    std::wstring requestPath;
    DWORD secure = 0;
};

bool CrackTarget(const std::wstring& url, Target& target, std::wstring& error)
{
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    // -1 makes WinHTTP point into url instead of copying into our buffers.
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    target.proxy = ProxyTarget{url, Component(parts.lpszScheme, parts.dwSchemeLength),
                               Component(parts.lpszHostName, parts.dwHostNameLength), parts.nPort};
    target.requestPath = RequestPathOf(Component(parts.lpszUrlPath, parts.dwUrlPathLength),
                                       Component(parts.lpszExtraInfo, parts.dwExtraInfoLength));
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    return true;
}

bool QueryHeader(HINTERNET request, DWORD header, void* buffer, DWORD& size)
{
    return ::WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size,
                                 WINHTTP_NO_HEADER_INDEX) != FALSE;
}

static_assert(WINHTTP_QUERY_ETAG == kHeaderEtag && WINHTTP_QUERY_FLAG_NUMBER == kHeaderAsNumber,
              "WinHTTP numbers its header queries as WinINet does");

} // namespace

bool Downloader::DownloadWinHttp(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error)
{
    Target target;
    if (!CrackTarget(url, target, error)) {
        return false;
    }
    const std::wstring proxy = ChooseWinHttpProxy(target.proxy, proxyDetectionFailed);
    if (!proxyNamed) {
        proxyNamed = true;
        Notice(ProxyLogMessage(url, proxy));
    }
    UniqueWinHttpHandle session(OpenWinHttpSession(proxy));
    if (!session) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    ::WinHttpSetTimeouts(session.Get(), kTimeLimitsMs.resolve, kTimeLimitsMs.connect, kTimeLimitsMs.send,
                         kTimeLimitsMs.receive);
    UniqueWinHttpHandle connection(::WinHttpConnect(session.Get(), target.proxy.host.c_str(), target.proxy.port, 0));
    if (!connection) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }

    UniqueWinHttpHandle request;
    // Sending, receiving and reading block on the request: the try's clock
    // closes it when the time is up.
    WatchedHandle<UniqueWinHttpHandle> watched(tryClock, request, CloseWinHttpHandle);
    const HttpRequest ask = [&](uint64_t offset, const std::wstring& validator, HttpAnswer& answer,
                                std::wstring& failure) {
        HINTERNET fresh = ::WinHttpOpenRequest(connection.Get(), L"GET", target.requestPath.c_str(), nullptr,
                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure);
        const DWORD openError = ::GetLastError();
        if (!watched.Reset(fresh)) {
            failure = fresh != nullptr ? TimeLimitText(tryClock.LimitSeconds()) : Win32ErrorText(openError);
            return false;
        }
        // Not every WinHTTP version knows this option; without it the body
        // simply arrives as the server sent it.
        DWORD decompression = kDecompressGzipAndDeflate;
        ::WinHttpSetOption(request.Get(), kDecompressionOption, &decompression, sizeof(decompression));
        if (!SendRequest(request.Get(), offset > 0 ? RangeRequestHeaders(offset, validator) : std::wstring())) {
            failure = Win32ErrorText(::GetLastError());
            return false;
        }
        ReadAnswerOf(request.Get(), QueryHeader, ::WinHttpReadData, answer);
        return true;
    };
    return TransferToFile(ask, JobFor(temporaryPath), error);
}

} // namespace orv
