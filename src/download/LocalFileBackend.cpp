// "file://" URLs: the package or manifest is copied from a local or shared
// folder instead of fetched.
#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "download/Downloader.h"
#include "platform/FileSystem.h"

namespace orv {

namespace {

// Room for the longest path Windows can name.
constexpr DWORD kPathBufferChars = 32768;

} // namespace

bool Downloader::DownloadLocalFile(const std::wstring& url, const std::wstring& temporaryPath, std::wstring& error)
{
    std::vector<wchar_t> buffer(kPathBufferChars, L'\0');
    DWORD length = kPathBufferChars;
    if (FAILED(::PathCreateFromUrlW(url.c_str(), buffer.data(), &length, 0))) {
        error = kInvalidFileUrlText;
        return false;
    }
    const std::wstring source(buffer.data());
    const uint64_t size = GetFileSize64(source);
    if (size > sizeCap) {
        error = ExceededSizeText(sizeCap);
        return false;
    }
    StoreProgress(0, size);

    const ProgressTick tick = [this, &temporaryPath, size]() { StoreProgress(GetFileSize64(temporaryPath), size); };
    if (!CopyFileVerified(source, temporaryPath, error, tick)) {
        return false;
    }
    StoreProgress(size, size);
    return true;
}

} // namespace orv
