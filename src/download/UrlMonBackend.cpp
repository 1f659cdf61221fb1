// The last network backend: URLMon's one-call download, a third network
// stack for systems where the first two cannot get through. It takes no time
// limits of ours and reports no progress; its progress only enforces a size cap
// and the try's clock.
#include <windows.h>
#include <objbase.h>
#include <urlmon.h>

#include "download/Downloader.h"
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

// Ends the transfer once more than the cap has arrived or the try's time is
// up. It lives on the caller's stack for the one call, so counting
// references has no work.
class SizeCapCallback : public IBindStatusCallback {
public:
    SizeCapCallback(uint64_t cap, const TryClock* clock) : cap_(cap), clock_(clock) {}
    bool exceeded = false;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (id == __uuidof(IUnknown) || id == __uuidof(IBindStatusCallback)) {
            *object = static_cast<IBindStatusCallback*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG, ULONG, LPCWSTR) override
    {
        if (progress > cap_) {
            exceeded = true;
            return E_ABORT;
        }
        return clock_ != nullptr && clock_->Expired() ? E_ABORT : S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

private:
    uint64_t cap_;
    const TryClock* clock_;
};

} // namespace

bool DownloadUrlMon(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error, uint64_t sizeCap,
                    const TryClock* clock)
{
    HRESULT result = S_OK;
    SizeCapCallback callback(sizeCap, clock);
    {
        ComApartment com;
        result = ::URLDownloadToFileW(nullptr, url.c_str(), temporaryPath.c_str(), 0,
                                      sizeCap == kNoSizeCap && clock == nullptr ? nullptr : &callback);
    }
    // The progress it reports may lag or be missing: the file decides too.
    if (callback.exceeded || (sizeCap != kNoSizeCap && GetFileSize64(temporaryPath) > sizeCap)) {
        DeleteFileIfPresent(temporaryPath);
        error = ExceededSizeText(sizeCap);
        return false;
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
