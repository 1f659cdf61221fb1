// Download benchmark driver.
//   DownloadBench.exe URL DESTINATION
//       Fetches URL with the updater's downloader (silent window, as in an
//       unattended run).
//   DownloadBench.exe --winhttp-ceiling URL
//       Reads the same body with bare WinHTTP calls into memory, with the
//       same 64 KiB buffer: what the platform's WinHTTP can deliver at all,
//       the baseline of the first figure.
//   DownloadBench.exe --stages URL DESTINATION
//       The bare loop again, this time writing every piece to DESTINATION as
//       the downloader does, then flushing and closing it; each kind of call
//       timed apart, to show what the file costs on top of the reads.
// Output: "seconds=<s> bytes=<n> peak_ws_bytes=<n> result=PASS|FAIL", the
// bare loops also "reads=<n>", the stages "<call>_us=<n>".
#include <windows.h>
#include <winhttp.h>
#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <psapi.h>

#include <cstdio>
#include <vector>

#include "download/Downloader.h"
#include "download/WinHttpHandle.h"
#include "log/TraceLog.h"
#include "platform/FileSystem.h"
#include "platform/Handles.h"
#include "ui/ProgressWindow.h"

using namespace orv;

namespace {

double Seconds()
{
    LARGE_INTEGER frequency{};
    LARGE_INTEGER now{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Report(double seconds, uint64_t bytes, bool ok)
{
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    ::K32GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("seconds=%.6f bytes=%llu peak_ws_bytes=%llu result=%s\n", seconds,
                static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(memory.PeakWorkingSetSize),
                ok ? "PASS" : "FAIL");
}

int RunDownloader(const std::wstring& url, const std::wstring& destination)
{
    TraceLog log;
    log.Open(ParentPath(FullPath(destination)));
    ProgressWindow window(true);
    orv::Downloader downloader(log, window);
    std::vector<orv::DownloadAttempt> attempts;

    const double start = Seconds();
    const bool ok = downloader.Download(url, destination, attempts, orv::ExpectedFile{});
    const double seconds = Seconds() - start;
    Report(seconds, GetFileSize64(destination), ok);
    for (const orv::DownloadAttempt& attempt : attempts) {
        std::fwprintf(stderr, L"%ls: %ls\n", attempt.backend.c_str(), attempt.result.c_str());
    }
    return ok ? 0 : 1;
}

long long Micros(double seconds)
{
    return static_cast<long long>(seconds * 1e6);
}

// A GET of url, answered and ready to read.
struct BareRequest {
    UniqueWinHttpHandle session;
    UniqueWinHttpHandle connection;
    UniqueWinHttpHandle request;

    bool Open(const std::wstring& url)
    {
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof(parts);
        parts.dwHostNameLength = static_cast<DWORD>(-1);
        parts.dwUrlPathLength = static_cast<DWORD>(-1);
        if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
            return false;
        }
        const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
        const std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
        session.Reset(::WinHttpOpen(L"DownloadBench", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0));
        connection.Reset(session ? ::WinHttpConnect(session.Get(), host.c_str(), parts.nPort, 0) : nullptr);
        request.Reset(connection ? ::WinHttpOpenRequest(connection.Get(), L"GET", path.c_str(), nullptr, nullptr,
                                                        nullptr, 0)
                                 : nullptr);
        return request && ::WinHttpSendRequest(request.Get(), nullptr, 0, nullptr, 0, 0, 0) &&
               ::WinHttpReceiveResponse(request.Get(), nullptr);
    }
};

int RunWinHttpCeiling(const std::wstring& url)
{
    const double start = Seconds();
    BareRequest bare;
    if (!bare.Open(url)) {
        return 1;
    }
    std::vector<unsigned char> buffer(65536);
    uint64_t total = 0;
    unsigned long long reads = 0;
    DWORD got = 0;
    while (::WinHttpReadData(bare.request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got) && got > 0) {
        total += got;
        ++reads;
    }
    std::printf("reads=%llu ", reads);
    Report(Seconds() - start, total, total > 0);
    return total > 0 ? 0 : 1;
}

int RunStages(const std::wstring& url, const std::wstring& destination)
{
    const double start = Seconds();
    BareRequest bare;
    UniqueFile file(::CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !bare.Open(url)) {
        return 1;
    }
    const double opened = Seconds();
    std::vector<unsigned char> buffer(65536);
    uint64_t total = 0;
    unsigned long long reads = 0;
    double reading = 0;
    double writing = 0;
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        const double before = Seconds();
        const bool read = ::WinHttpReadData(bare.request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got);
        const double between = Seconds();
        if (!read || got == 0) {
            reading += between - before;
            break;
        }
        DWORD written = 0;
        ok = ::WriteFile(file.Get(), buffer.data(), got, &written, nullptr) && written == got;
        writing += Seconds() - between;
        reading += between - before;
        total += got;
        ++reads;
        if (!ok) {
            break;
        }
    }
    const double flushStart = Seconds();
    ::FlushFileBuffers(file.Get());
    const double closeStart = Seconds();
    file.Reset();
    const double end = Seconds();
    std::printf("reads=%llu open_us=%lld read_us=%lld write_us=%lld flush_us=%lld close_us=%lld ", reads,
                Micros(opened - start), Micros(reading), Micros(writing), Micros(closeStart - flushStart),
                Micros(end - closeStart));
    Report(end - start, total, ok && total > 0);
    return ok && total > 0 ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && std::wstring(argv[1]) == L"--winhttp-ceiling") {
        return RunWinHttpCeiling(argv[2]);
    }
    if (argc == 4 && std::wstring(argv[1]) == L"--stages") {
        return RunStages(argv[2], argv[3]);
    }
    if (argc == 3) {
        return RunDownloader(argv[1], argv[2]);
    }
    std::fwprintf(stderr, L"usage: DownloadBench URL DESTINATION | DownloadBench --winhttp-ceiling URL | "
                          L"DownloadBench --stages URL DESTINATION\n");
    return 2;
}
