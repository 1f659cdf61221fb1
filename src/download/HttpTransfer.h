#pragma once
// What the WinHTTP and WinINet backends share: the status rule, the
// temporary file and the body loop, which asks for the rest of a body whose
// connection broke off. This header stays free of winhttp.h and wininet.h,
// which cannot be included together.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "download/Resume.h"

namespace orv {

// One buffer of this size serves a whole transfer.
constexpr DWORD kBodyBufferBytes = 65536;

// Reads the next piece of the body; false when the read failed (the reason
// is in GetLastError). A piece of 0 bytes ends the body.
using BodyReader = std::function<bool(void* buffer, DWORD capacity, DWORD& read)>;
using BodyProgress = std::function<void(uint64_t received, uint64_t total)>;

// Accepts 2xx answers. A status that could not be read at all is described
// by the query's Win32 error; any other status by "HTTP status n".
bool AcceptStatus(bool queried, DWORD status, DWORD queryError, std::wstring& error);

// One answer of the server, as far as the transfer needs it.
struct HttpAnswer {
    bool statusRead = false;
    DWORD status = 0;
    // GetLastError of the status query when it failed.
    DWORD statusError = 0;
    // Content-Length; 0 when the answer has none.
    DWORD length = 0;
    std::wstring contentRange;
    std::wstring etag;
    std::wstring lastModified;
    bool encoded = false;
    // Reads this answer's body; valid until the next request.
    BodyReader read;
};

// The header numbers WinHTTP's and WinINet's queries share, and the flag that
// asks for a header's value as a number.
enum HttpHeader : DWORD {
    kHeaderContentLength = 5, kHeaderLastModified = 11, kHeaderStatusCode = 19, kHeaderContentEncoding = 29,
    kHeaderContentRange = 53, kHeaderEtag = 54, kHeaderAsNumber = 0x20000000,
};

// One header of an answer into buffer (size in bytes, in and out); false
// when the answer has no such header.
using HeaderQuery = std::function<bool(DWORD header, void* buffer, DWORD& size)>;

// Fills answer from a backend's header query and body reader.
void ReadAnswer(const HeaderQuery& query, BodyReader read, HttpAnswer& answer);

// The same for a request handle of either library: query(handle, header,
// buffer, size) reads a header, read(handle, buffer, capacity, &got) the body.
template <typename Handle, typename Query, typename Read>
void ReadAnswerOf(Handle handle, Query query, Read read, HttpAnswer& answer)
{
    ReadAnswer([=](DWORD header, void* buffer, DWORD& size) { return query(handle, header, buffer, size); },
               [=](void* buffer, DWORD capacity, DWORD& got) { return read(handle, buffer, capacity, &got) != FALSE; },
               answer);
}

// Sends the GET (again): for the whole body when offset is 0, otherwise for
// the body from offset on, provided the file still matches validator. False
// with the error text when no answer came.
using HttpRequest = std::function<bool(uint64_t offset, const std::wstring& validator, HttpAnswer& answer,
                                       std::wstring& error)>;

// What a try knows before it asks: where the body goes, the partial download
// it may continue and the record beside it, and whom it tells of its progress.
struct TransferJob {
    std::wstring path;
    std::wstring recordPath;
    // The URL and announcement; of a kept partial download also the validator and total.
    PartialRecord record;
    // The bytes of a kept partial download at path; 0 when there is none.
    uint64_t keptBytes = 0;
    uint64_t sizeCap = UINT64_MAX;
    BodyProgress progress;
    std::function<void(uint64_t offset)> resumed;
    // True once the try's time is up: the body stops at the next read, and
    // what arrived stays for a later try to continue.
    std::function<bool()> expired;
};

// Streams the body chunk by chunk into the temporary file (written only by
// us, replaced unless a kept part is continued), reporting the running total
// after every chunk, and flushes it. When the connection breaks off after
// bytes arrived and the body may be continued, asks for the rest (at most
// kMaxResumptions times, each bringing new bytes). Fails on an empty body, on
// any other read or write error, and as soon as more than sizeCap bytes
// arrived. A failed transfer leaves the file only when a later try may
// continue it, with its record; otherwise neither.
bool TransferToFile(const HttpRequest& request, const TransferJob& job, std::wstring& error);

} // namespace orv
