#pragma once
// The download rules that need no system calls: texts of tries and log
// lines, the progress clamp, URL and request-path decisions. No Windows
// headers here, so these can also be built natively.
#include <cstdint>
#include <string>

namespace orv {

extern const wchar_t kDownloadUserAgent[];
extern const wchar_t kAttemptPassed[];
extern const wchar_t kEmptyResponseText[];
extern const wchar_t kUrlMonEmptyText[];
extern const wchar_t kMissingOrEmptyText[];
extern const wchar_t kInvalidFileUrlText[];
extern const wchar_t kZipValidationPrefix[];

// The largest count the progress counters hold (they are signed 32-bit).
constexpr int32_t kMaxProgressCount = 2147483647;

// A byte count as stored for the progress window: counts of 2 GiB and more
// show as kMaxProgressCount; the transfer itself is not limited.
int32_t ClampProgressCount(uint64_t count);

// "file://" in any letter case: such URLs are copied, never fetched.
bool IsFileUrl(const std::wstring& url);

// The request target of a cracked URL: path plus query, or "/" when both
// are empty.
std::wstring RequestPathOf(const std::wstring& urlPath, const std::wstring& extraInfo);

bool IsSuccessStatus(uint32_t status);
std::wstring HttpStatusText(uint32_t status);

// URLMon's failure text, with the HRESULT as eight upper-case hex digits.
std::wstring UrlMonFailureText(uint32_t hresult);

// The trace-log message of one try.
std::wstring AttemptLogMessage(bool succeeded, const std::wstring& backend, const std::wstring& url,
                               const std::wstring& error);

} // namespace orv
