#include "download/HttpTransfer.h"

#include <vector>

#include "download/Downloader.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"

namespace orv {

bool AcceptStatus(bool queried, DWORD status, DWORD queryError, std::wstring& error)
{
    if (queried && IsSuccessStatus(status)) {
        return true;
    }
    if (!queried && status == 0) {
        error = Win32ErrorText(queryError);
    } else {
        error = HttpStatusText(status);
    }
    return false;
}

namespace {

bool StreamInto(HANDLE file, const BodyReader& read, const BodyProgress& progress, uint64_t expectedTotal,
                uint64_t sizeCap, std::wstring& error)
{
    std::vector<unsigned char> buffer(kBodyBufferBytes, 0);
    uint64_t received = 0;
    for (;;) {
        DWORD got = 0;
        if (!read(buffer.data(), kBodyBufferBytes, got)) {
            error = Win32ErrorText(::GetLastError());
            return false;
        }
        if (got == 0) {
            break;
        }
        if (got > sizeCap - received) {
            error = ExceededSizeText(sizeCap);
            return false;
        }
        DWORD written = 0;
        if (!::WriteFile(file, buffer.data(), got, &written, nullptr) || written != got) {
            error = Win32ErrorText(::GetLastError());
            return false;
        }
        received += written;
        progress(received, expectedTotal);
    }
    if (received == 0) {
        error = kEmptyResponseText;
        return false;
    }
    ::FlushFileBuffers(file);
    return true;
}

} // namespace

bool StreamBodyToFile(const BodyReader& read, const std::wstring& path, const BodyProgress& progress,
                      uint64_t expectedTotal, uint64_t sizeCap, std::wstring& error)
{
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) {
        error = Win32ErrorText(::GetLastError());
        return false;
    }
    const bool complete = StreamInto(file.Get(), read, progress, expectedTotal, sizeCap, error);
    file.Reset();
    if (!complete) {
        DeleteFileIfPresent(path);
    }
    return complete;
}

} // namespace orv
