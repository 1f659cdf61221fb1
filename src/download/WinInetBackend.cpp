// The second network backend: WinINet, tried when WinHTTP failed. It reads
// the system's own Internet settings, which helps behind proxies WinHTTP
// does not know about.
#include "download/Downloader.h"
#include "download/HttpTransfer.h"
#include "download/WinInetHandle.h"
#include "platform/FileSystem.h"

namespace orv {

namespace {

constexpr DWORD kConnectTimeoutMs = 10000;
constexpr DWORD kReceiveTimeoutMs = 60000;
constexpr DWORD kSendTimeoutMs = 10000;

// Always from the server: no cached copy, nothing written to the cache, and
// no dialog on a worker thread.
constexpr DWORD kOpenUrlFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(kOpenUrlFlags == 0x84400300, "request flags changed");

void SetTimeout(HINTERNET session, DWORD option, DWORD milliseconds)
{
    ::InternetSetOptionW(session, option, &milliseconds, sizeof(milliseconds));
}

} // namespace

bool Downloader::DownloadWinInet(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error)
{
    UniqueInternetHandle session(::InternetOpenW(kDownloadUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    SetTimeout(session.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs);
    SetTimeout(session.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs);
    SetTimeout(session.Get(), INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs);

    UniqueInternetHandle response(::InternetOpenUrlW(session.Get(), url.c_str(), nullptr, 0, kOpenUrlFlags, 0));
    if (!response) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }

    DWORD status = 0;
    DWORD size = sizeof(status);
    const bool statusRead = ::HttpQueryInfoW(response.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                                             &size, nullptr) != FALSE;
    if (!AcceptStatus(statusRead, status, statusRead ? 0 : ::GetLastError(), error)) {
        return false;
    }

    DWORD expected = 0;
    size = sizeof(expected);
    if (!::HttpQueryInfoW(response.Get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &expected, &size,
                          nullptr)) {
        expected = 0;
    }
    StoreProgress(0, expected);

    const BodyReader read = [&response](void* buffer, DWORD capacity, DWORD& got) {
        return ::InternetReadFile(response.Get(), buffer, capacity, &got) != FALSE;
    };
    const BodyProgress progress = [this](uint64_t received, uint64_t total) { StoreProgress(received, total); };
    return StreamBodyToFile(read, temporaryPath, progress, expected, sizeCap, error);
}

} // namespace orv
