// The download rules that need no system calls. No Windows headers here,
// so these can also be built natively.
#include "download/Downloader.h"

#include <cwchar>

namespace orv {

const wchar_t kDownloadUserAgent[] = L"OrvUpdaterW7/27.0 (Windows 7)";
const wchar_t kAttemptPassed[] = L"PASS";
const wchar_t kEmptyResponseText[] = L"Server returned an empty response.";
const wchar_t kUrlMonEmptyText[] = L"URLMon created an empty response.";
const wchar_t kMissingOrEmptyText[] = L"Downloaded file is missing or empty.";
const wchar_t kInvalidFileUrlText[] = L"Invalid file URL.";
const wchar_t kStoppedText[] = L"Download stopped: the progress window was closed.";

int32_t ClampProgressCount(uint64_t count)
{
    return count >= static_cast<uint64_t>(kMaxProgressCount) ? kMaxProgressCount : static_cast<int32_t>(count);
}

bool IsFileUrl(const std::wstring& url)
{
    // ASCII folding only: a look-alike letter from another script must not
    // turn a web address into a local path.
    static const wchar_t kPrefix[] = L"file://";
    const size_t length = sizeof(kPrefix) / sizeof(kPrefix[0]) - 1;
    if (url.size() < length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        wchar_t c = url[i];
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
        if (c != kPrefix[i]) {
            return false;
        }
    }
    return true;
}

std::wstring RequestPathOf(const std::wstring& urlPath, const std::wstring& extraInfo)
{
    const std::wstring path = urlPath + extraInfo;
    return path.empty() ? std::wstring(L"/") : path;
}

bool IsSuccessStatus(uint32_t status)
{
    return status >= 200 && status <= 299;
}

std::wstring HttpStatusText(uint32_t status)
{
    return L"HTTP status " + std::to_wstring(status);
}

std::wstring UrlMonFailureText(uint32_t hresult)
{
    wchar_t hex[16] = {};
    std::swprintf(hex, sizeof(hex) / sizeof(hex[0]), L"%08X", static_cast<unsigned>(hresult));
    return std::wstring(L"URLDownloadToFile failed (HRESULT 0x") + hex + L")";
}

std::wstring AttemptLogMessage(bool succeeded, const std::wstring& backend, const std::wstring& url,
                               const std::wstring& error)
{
    if (succeeded) {
        return L"Download PASS | Backend=" + backend + L" | URL=" + url;
    }
    return L"Download FAIL | Backend=" + backend + L" | URL=" + url + L" | Error=" + error;
}

std::wstring SizeMismatchText(uint64_t expected, uint64_t received)
{
    return L"Package size mismatch: expected " + std::to_wstring(expected) + L" bytes, received " +
           std::to_wstring(received) + L" bytes.";
}

std::wstring HashMismatchText(const std::wstring& expected, const std::wstring& received)
{
    return L"Package SHA-256 mismatch: expected " + expected + L", received " + received + L".";
}

std::wstring ExceededSizeText(uint64_t announced)
{
    return L"Download exceeded the announced size of " + std::to_wstring(announced) + L" bytes.";
}

std::wstring TimeLimitText(uint64_t seconds)
{
    return L"Download did not finish within " + std::to_wstring(seconds) + L" seconds.";
}

uint64_t TrySizeCap(const ExpectedFile& expected)
{
    return expected.sizeKnown && expected.size < expected.maxSize ? expected.size : expected.maxSize;
}

uint64_t TryLimitSeconds(const ExpectedFile& expected, uint64_t serverSize)
{
    if (expected.limitSeconds != 0) {
        return expected.limitSeconds;
    }
    // A body that trickles in must not hold the run for ever, nor may a
    // large package on a slow line be cut off before it could arrive.
    const uint64_t size = expected.sizeKnown ? expected.size : serverSize;
    const uint64_t needed = size / kSlowestBytesPerSecond + (size % kSlowestBytesPerSecond != 0 ? 1 : 0);
    return needed > kMinimumTrySeconds ? needed : kMinimumTrySeconds;
}

} // namespace orv
