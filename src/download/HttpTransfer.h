#pragma once
// What the WinHTTP and WinINet backends share: the status rule, the
// temporary file and the body loop. This header stays free of winhttp.h and
// wininet.h, which cannot be included together.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

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

// Streams the body chunk by chunk into the temporary file at path (written
// only by us, replaced when it exists), reporting the running total after
// every chunk, and flushes it. Fails on an empty body, on any read or write
// error, and as soon as more than sizeCap bytes arrived; a failed transfer
// leaves no file behind.
bool StreamBodyToFile(const BodyReader& read, const std::wstring& path, const BodyProgress& progress,
                      uint64_t expectedTotal, uint64_t sizeCap, std::wstring& error);

} // namespace orv
