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
static_assert(kOpenUrlFlags == 0x84400300, "request flags changed");

void SetTimeout(HINTERNET session, DWORD option, DWORD milliseconds)
{
    ::InternetSetOptionW(session, option, &milliseconds, sizeof(milliseconds));
}

// Header texts longer than this are no validators or ranges of ours.
constexpr DWORD kMaxHeaderChars = 1024;

std::wstring HeaderText(HINTERNET response, DWORD query)
{
    wchar_t buffer[kMaxHeaderChars] = {};
    DWORD size = sizeof(buffer);
    if (!::HttpQueryInfoW(response, query, buffer, &size, nullptr)) {
        return std::wstring();
    }
    return std::wstring(buffer, size / sizeof(wchar_t));
}

void ReadAnswer(HINTERNET response, HttpAnswer& answer)
{
    DWORD size = sizeof(answer.status);
    answer.statusRead = ::HttpQueryInfoW(response, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &answer.status,
                                         &size, nullptr) != FALSE;
    answer.statusError = answer.statusRead ? 0 : ::GetLastError();
    size = sizeof(answer.length);
    if (!::HttpQueryInfoW(response, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &answer.length, &size,
                          nullptr)) {
        answer.length = 0;
    }
    answer.etag = HeaderText(response, HTTP_QUERY_ETAG);
    answer.lastModified = HeaderText(response, HTTP_QUERY_LAST_MODIFIED);
    answer.contentRange = HeaderText(response, HTTP_QUERY_CONTENT_RANGE);
    answer.encoded = IsEncodedBody(HeaderText(response, HTTP_QUERY_CONTENT_ENCODING));
    answer.read = [response](void* buffer, DWORD capacity, DWORD& got) {
        return ::InternetReadFile(response, buffer, capacity, &got) != FALSE;
    };
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

    UniqueInternetHandle response;
    const HttpRequest ask = [&](uint64_t offset, const std::wstring& validator, HttpAnswer& answer,
                                std::wstring& failure) {
        // The answer before is done with: its connection goes first.
        response.Reset();
        const std::wstring headers = offset > 0 ? RangeRequestHeaders(offset, validator) : std::wstring();
        response.Reset(::InternetOpenUrlW(session.Get(), url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                                          static_cast<DWORD>(headers.size()), kOpenUrlFlags, 0));
        if (!response) {
            failure = Win32ErrorText(::GetLastError());
            return false;
        }
        ReadAnswer(response.Get(), answer);
        return true;
    };
    return TransferToFile(ask, JobFor(temporaryPath), error);
}

} // namespace orv
