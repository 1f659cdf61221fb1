// The second network backend: WinINet, tried when WinHTTP failed. Another
// network stack, with its own reading of the user's Internet settings.
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
bool QueryHeader(HINTERNET response, DWORD header, void* buffer, DWORD& size)
{
    return ::HttpQueryInfoW(response, header, buffer, &size, nullptr) != FALSE;
}

static_assert(kOpenUrlFlags == 0x84400300, "request flags changed");

void CloseInternetHandle(void* handle)
{
    ::InternetCloseHandle(static_cast<HINTERNET>(handle));
}

void SetTimeout(HINTERNET session, DWORD option, DWORD milliseconds)
{
    ::InternetSetOptionW(session, option, &milliseconds, sizeof(milliseconds));
}


static_assert(HTTP_QUERY_ETAG == kHeaderEtag && HTTP_QUERY_FLAG_NUMBER == kHeaderAsNumber,
              "WinINet numbers its header queries as WinHTTP does");

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
    // Opening the URL blocks before there is a request handle; closing the
    // session ends that call and every read on its requests, so the try's
    // clock watches the session.
    const WatchedHandle<UniqueInternetHandle> watched(tryClock, session, CloseInternetHandle);
    if (!watched.Watching()) {
        error = TimeLimitText(tryClock.LimitSeconds());
        return false;
    }

    UniqueInternetHandle response;
    const HttpRequest ask = [&](uint64_t offset, const std::wstring& validator, HttpAnswer& answer,
                                std::wstring& failure) {
        // The answer before is done with: its connection goes first.
        response.Reset();
        const std::wstring headers = offset > 0 ? RangeRequestHeaders(offset, validator) : std::wstring();
        response.Reset(::InternetOpenUrlW(session.Get(), url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                                          static_cast<DWORD>(headers.size()), kOpenUrlFlags, 0));
        if (response) {
            ReadAnswerOf(response.Get(), QueryHeader, ::InternetReadFile, answer);
            return true;
        }
        failure = Win32ErrorText(::GetLastError());
        return false;
    };
    return TransferToFile(ask, JobFor(temporaryPath), error);
}

} // namespace orv
