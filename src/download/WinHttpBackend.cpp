// The first network backend: one synchronous WinHTTP GET streamed to disk.
#include "download/Downloader.h"
#include "download/HttpTransfer.h"
#include "download/WinHttpHandle.h"
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

std::wstring Component(const wchar_t* text, DWORD length)
{
    return text != nullptr ? std::wstring(text, length) : std::wstring();
}

} // namespace

bool Downloader::DownloadWinHttp(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error)
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
    const std::wstring host = Component(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring requestPath = RequestPathOf(Component(parts.lpszUrlPath, parts.dwUrlPathLength),
                                                   Component(parts.lpszExtraInfo, parts.dwExtraInfoLength));

    UniqueWinHttpHandle session(::WinHttpOpen(kDownloadUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    ::WinHttpSetTimeouts(session.Get(), kTimeLimitsMs.resolve, kTimeLimitsMs.connect, kTimeLimitsMs.send,
                         kTimeLimitsMs.receive);

    UniqueWinHttpHandle connection(::WinHttpConnect(session.Get(), host.c_str(), parts.nPort, 0));
    if (!connection) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    UniqueWinHttpHandle request(::WinHttpOpenRequest(connection.Get(), L"GET", requestPath.c_str(), nullptr,
                                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, secure));
    if (!request) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    // Not every WinHTTP version knows this option; without it the body simply
    // arrives as the server sent it.
    DWORD decompression = kDecompressGzipAndDeflate;
    ::WinHttpSetOption(request.Get(), kDecompressionOption, &decompression, sizeof(decompression));

    if (!::WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.Get(), nullptr)) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }

    DWORD status = 0;
    DWORD size = sizeof(status);
    const bool statusRead =
        ::WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
    if (!AcceptStatus(statusRead, status, statusRead ? 0 : ::GetLastError(), error)) {
        return false;
    }

    DWORD expected = 0;
    size = sizeof(expected);
    if (!::WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &expected, &size, WINHTTP_NO_HEADER_INDEX)) {
        // Chunked and close-delimited bodies have no length: progress then
        // shows bytes only.
        expected = 0;
    }
    StoreProgress(0, expected);

    const BodyReader read = [&request](void* buffer, DWORD capacity, DWORD& got) {
        return ::WinHttpReadData(request.Get(), buffer, capacity, &got) != FALSE;
    };
    const BodyProgress progress = [this](uint64_t received, uint64_t total) { StoreProgress(received, total); };
    return StreamBodyToFile(read, temporaryPath, progress, expected, sizeCap, error);
}

} // namespace orv
