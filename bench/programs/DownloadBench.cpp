// Download benchmark driver.
//   DownloadBench.exe URL DESTINATION
//       Fetches URL with the updater's downloader (silent window, as in an
//       unattended run).
//   DownloadBench.exe --winhttp-ceiling URL
//       Reads the same body with bare WinHTTP calls into memory: what the
//       platform's WinHTTP can deliver at all, to put the first figure in
//       proportion.
// Output: "seconds=<s> bytes=<n> peak_ws_bytes=<n> result=PASS|FAIL".
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
#include "ui/ProgressWindow.h"

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
    const bool ok = downloader.Download(url, destination, attempts, false);
    const double seconds = Seconds() - start;
    Report(seconds, GetFileSize64(destination), ok);
    for (const orv::DownloadAttempt& attempt : attempts) {
        std::fwprintf(stderr, L"%ls: %ls\n", attempt.backend.c_str(), attempt.result.c_str());
    }
    return ok ? 0 : 1;
}

int RunWinHttpCeiling(const std::wstring& url)
{
    const double start = Seconds();
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        return 1;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    UniqueWinHttpHandle session(::WinHttpOpen(L"DownloadBench", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0));
    UniqueWinHttpHandle connection(session ? ::WinHttpConnect(session.Get(), host.c_str(), parts.nPort, 0) : nullptr);
    UniqueWinHttpHandle request(connection ? ::WinHttpOpenRequest(connection.Get(), L"GET", path.c_str(), nullptr,
                                                                  nullptr, nullptr, 0)
                                           : nullptr);
    if (!request || !::WinHttpSendRequest(request.Get(), nullptr, 0, nullptr, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.Get(), nullptr)) {
        return 1;
    }
    std::vector<unsigned char> buffer(65536);
    uint64_t total = 0;
    DWORD got = 0;
    while (::WinHttpReadData(request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got) && got > 0) {
        total += got;
    }
    Report(Seconds() - start, total, total > 0);
    return total > 0 ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && std::wstring(argv[1]) == L"--winhttp-ceiling") {
        return RunWinHttpCeiling(argv[2]);
    }
    if (argc == 3) {
        return RunDownloader(argv[1], argv[2]);
    }
    std::fwprintf(stderr, L"usage: DownloadBench URL DESTINATION | DownloadBench --winhttp-ceiling URL\n");
    return 2;
}
