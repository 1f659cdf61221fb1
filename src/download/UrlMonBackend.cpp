// The last network backend: URLMon's one-call download, a third network
// stack for systems where the first two cannot get through. It takes no time
// limits of ours and reports no progress.
#include <windows.h>
#include <objbase.h>
#include <urlmon.h>

#include "download/Downloader.h"
#include "download/DownloadRules.h"
#include "platform/FileSystem.h"

namespace orv {

namespace {

// COM for the calling thread, released on every way out when this call
// took it (also when COM was already set up, which still counts a use).
class ComApartment {
public:
    ComApartment() : result_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(result_)) {
            ::CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    HRESULT result_;
};

} // namespace

bool DownloadUrlMon(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error)
{
    HRESULT result = S_OK;
    {
        ComApartment com;
        result = ::URLDownloadToFileW(nullptr, url.c_str(), temporaryPath.c_str(), 0, nullptr);
    }
    if (FAILED(result)) {
        error = UrlMonFailureText(static_cast<uint32_t>(result));
        return false;
    }
    if (GetFileSize64(temporaryPath) == 0) {
        error = kUrlMonEmptyText;
        return false;
    }
    return true;
}

} // namespace orv
